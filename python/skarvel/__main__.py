"""``python -m skarvel``: the skarvel command."""

from skarvel.cli import main

main(prog_name="skarvel")
