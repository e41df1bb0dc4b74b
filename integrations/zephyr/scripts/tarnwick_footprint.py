"""`west footprint`: tarnwick's report of a Zephyr build (BUILD/zephyr/zephyr.map with its ELF
file), exiting as tarnwick does: 1 when a policy fails, 2 for bad input. Options after `--` go to
`tarnwick analyze` (`west footprint -- --fail-on-budget --format markdown`)."""

import os
import shutil
import subprocess
import sys

from west.commands import WestCommand


class Footprint(WestCommand):
    def __init__(self):
        super().__init__("footprint", "check the memory footprint of a build with tarnwick",
                         "Runs `tarnwick analyze` on the map and ELF file of a Zephyr build.")

    def do_add_parser(self, parser_adder):
        parser = parser_adder.add_parser(self.name, help=self.help, description=self.description)
        parser.add_argument("-d", "--build-dir", default="build", help="the build folder (default: build)")
        parser.add_argument("--config", help="tarnwick's configuration (default: the one tarnwick finds)")
        parser.add_argument("tarnwick_args", nargs="*", help="more options of tarnwick analyze, after --")
        return parser

    def do_run(self, args, unknown_args):
        tarnwick = shutil.which("tarnwick")
        if tarnwick is None:
            self.err("tarnwick is not installed (not on the PATH)")
            sys.exit(2)
        kernel = os.path.join(args.build_dir, "zephyr")
        command = [tarnwick, "analyze", os.path.join(kernel, "zephyr.map"), "--elf", os.path.join(kernel, "zephyr.elf")]
        if args.config:
            command += ["--config", args.config]
        sys.exit(subprocess.call(command + list(args.tarnwick_args) + list(unknown_args)))
