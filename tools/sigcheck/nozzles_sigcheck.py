"""The command's entry: build/host/nozzles-sigcheck runs this file with the
library's path; the work is the sigcheck package's beside it."""
import sys

from sigcheck.command import main

if __name__ == "__main__":
    sys.exit(main())
