"""The version of the package and of libQS: the one place it is written
(pyproject.toml and the CMake project read it from here)."""

__version__ = "1.0.0"
