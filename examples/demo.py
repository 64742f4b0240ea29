"""First check of an installed module: versions, and the error lines of a
port that cannot be opened."""

import TorviHardwareAPI as T

print("module", T.__version__, "library", T.get_cpp_version())
T.print_cpp_version()
stream = T.SerialStream("/dev/this-port-does-not-exist")
print("an unopenable port yields a stream object:", type(stream).__name__)
