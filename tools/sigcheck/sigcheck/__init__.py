"""nozzles-sigcheck, the maintainer's signature tool, on the Python side.

    command        the command line: flags, which job, exit status
    layout         a PE file or dump read with pefile and laid out as the loader lays it
    binding        the one way into libnozzles_sigcheck.so (ctypes), mirroring sigcheck_api.h
    signatures     signature text: the plug-in's header, signature files, the header written
    check_report   one build checked: each signature's matches, copies, near-misses
    carry_report   an update carried: the report in words, or one JSON object

The tests and the benchmark import these modules as a library.
"""
