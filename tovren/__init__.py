# The release of the tovren-properties distribution; its metadata takes the
# version from this line (pyproject.toml, tool.scikit-build.metadata.version).
__version__ = "0.1.0"
