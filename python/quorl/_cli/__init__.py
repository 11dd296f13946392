"""The parts of the ``quorl`` command; ``quorl.cli.main`` is its entry point.

- ``arguments``: the command line.
- ``inputs``: the paths named, expanded into sources; ``line_runs``: runs of
  whole lines read from them.
- ``tasks``: a unit of work (a document, a run of lines) and its result;
  ``runner``: tasks done in order, on worker threads where that pays.
- ``output``: standard output or a file replaced once complete; ``report``:
  messages and the progress bar; ``sums``: the layout of digest lines.
- ``transform`` (``digest`` and ``canonical``) and ``check``: the commands.

Imports are kept lazy and light: a run on a small file is mostly start-up.
"""
