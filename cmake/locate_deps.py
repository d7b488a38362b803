"""Prints, one per line, where the PyPI packages of the native dependencies
put their build files: the oneTBB CMake package directory, the OpenBLAS
include directory and the OpenBLAS library file. With --library-path it
prints instead the directories of both run-time libraries, joined by colons
as LD_LIBRARY_PATH expects them."""

import importlib.metadata
import pathlib
import sys

import scipy_openblas32


def directory_of(distribution: str, file_prefix: str) -> pathlib.Path:
    """The directory of the first file of the installed distribution whose
    name starts with file_prefix."""
    dist = importlib.metadata.distribution(distribution)
    for entry in dist.files or ():
        if entry.name.startswith(file_prefix):
            return pathlib.Path(dist.locate_file(entry)).resolve().parent
    raise SystemExit(f"{distribution} is installed without {file_prefix}")


def openblas_library() -> pathlib.Path:
    lib_dir = pathlib.Path(scipy_openblas32.get_lib_dir())
    return lib_dir / scipy_openblas32.get_library(fullname=True)


if "--library-path" in sys.argv:
    print(f"{directory_of('tbb', 'libtbb.so.')}:{openblas_library().parent}")
else:
    print(directory_of("tbb-devel", "TBBConfig.cmake"))
    print(scipy_openblas32.get_include_dir())
    print(openblas_library())
