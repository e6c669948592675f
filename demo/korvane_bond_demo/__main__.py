import sys

from korvane_bond_demo.cli import main

sys.exit(main())
