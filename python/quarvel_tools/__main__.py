import sys

from quarvel_tools.cli import main

sys.exit(main())
