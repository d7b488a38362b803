"""Prints, one per line, where the PyPI packages of the native dependencies
put their build files: the oneTBB CMake package directory, the OpenBLAS
include directory and the OpenBLAS library file. With --library-path it
prints instead the directories of both run-time libraries, joined by colons
as LD_LIBRARY_PATH expects them."""

import importlib.metadata
import pathlib
import sys

import scipy_openblas32


def tbb_cmake_dir() -> pathlib.Path:
    dist = importlib.metadata.distribution("tbb-devel")
    for entry in dist.files or ():
        if entry.name == "TBBConfig.cmake":
            return pathlib.Path(dist.locate_file(entry)).resolve().parent
    raise SystemExit("tbb-devel is installed without TBBConfig.cmake")


def openblas_library() -> pathlib.Path:
    lib_dir = pathlib.Path(scipy_openblas32.get_lib_dir())
    return lib_dir / scipy_openblas32.get_library(fullname=True)


def tbb_library_dir() -> pathlib.Path:
    dist = importlib.metadata.distribution("tbb")
    for entry in dist.files or ():
        if entry.name.startswith("libtbb.so."):
            return pathlib.Path(dist.locate_file(entry)).resolve().parent
    raise SystemExit("tbb is installed without libtbb.so")


if "--library-path" in sys.argv:
    print(f"{tbb_library_dir()}:{openblas_library().parent}")
else:
    print(tbb_cmake_dir())
    print(scipy_openblas32.get_include_dir())
    print(openblas_library())
