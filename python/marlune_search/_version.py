# The one place the version number is kept; the build reads it from here.
__version__ = "0.1.0"
