"""A preload for the Dask workers that run the cellkit command's tasks:

    dask worker --preload cellkit.worker tcp://scheduler-host:8786

When the worker starts, it lets its process keep the memory one file's work frees for the
next file's, as the command does for its own threads: a worker under Dask's nanny
otherwise hands every large block back to the system and pays for fresh pages at each
file, which made it two to three times slower here (bench/README.md). Without the preload
the tasks run as well, only slower.
"""

from ._batch import keep_freed_memory


def dask_setup(worker) -> None:
    """Called by Dask in the worker's process when it starts."""
    keep_freed_memory()
