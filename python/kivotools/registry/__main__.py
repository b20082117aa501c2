import sys

from kivotools.registry._command import main

sys.exit(main())
