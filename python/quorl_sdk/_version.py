# The package's version, read by the build (pyproject.toml's metadata provider
# and CMake's project()) and by quorl_sdk.__version__. Change it here only.
__version__ = "0.1.0"
