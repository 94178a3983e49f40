// Nothing of its own: the shared library built from this file holds the
// kernels' library alone, and links only if no kernel needs the file service
// (see CMakeLists.txt).
