import sys

from korvane.demo.cli import main

sys.exit(main())
