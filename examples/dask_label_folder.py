"""Label every image of a folder with cellkit.ombrisk on a Dask cluster.

    python3 examples/dask_label_folder.py IMAGES OUT                  # a local cluster
    python3 examples/dask_label_folder.py IMAGES OUT --scheduler tcp://HOST:8786

IMAGES holds 8- or 16-bit images of bright nuclei (PNG or TIFF, one frame each), such as
data/nuclei_human_cells.png. Each worker reads an image, prepares it with cellkit.prepare
(nuclei dark, background below Otsu's threshold 0), labels it and saves the labels (0 for
the background, cells 1..n) as OUT/<name>.npy (int32); only the file name and the number of
cells travel back to the client, which prints them.

Without --scheduler the script starts a local cluster of worker processes on this machine.
With --scheduler it connects to a running cluster (started with `dask scheduler` and
`dask worker tcp://HOST:8786` on each machine, or by a cluster manager): the workers need
cellkit installed and must see IMAGES and OUT at the same paths, on a shared file system.
"""

import argparse
from pathlib import Path

import numpy as np

import cellkit


def label_file(path, out, cell_size_limit=30, threshold=5):
    """Runs on a worker: labels one image file, saves the labels, returns (name, cells)."""
    import tifffile
    from PIL import Image

    image = tifffile.imread(path) if Path(path).suffix in (".tif", ".tiff") else \
        np.asarray(Image.open(path))
    labels = cellkit.ombrisk(cellkit.prepare(image), cell_size_limit, threshold)
    name = Path(path).stem
    np.save(Path(out) / f"{name}.npy", labels)
    return name, int(labels.max())


def label_folder(client, images, out, patterns=("*.png", "*.tif", "*.tiff")):
    """Labels every image of the folder `images` on the client's cluster, one task per
    image; returns {name: number of cells}."""
    paths = sorted(str(p) for pattern in patterns for p in Path(images).glob(pattern))
    Path(out).mkdir(parents=True, exist_ok=True)
    futures = client.map(label_file, paths, out=str(out))
    return dict(client.gather(futures))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("images", help="folder of images")
    parser.add_argument("out", help="folder for the label files")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, "
                        "e.g. tcp://scheduler.example.org:8786; a local cluster when left out")
    parser.add_argument("--workers", type=int, default=2, help="local workers (default 2)")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        # One thread per worker process; cellkit releases the GIL, so threads=2 with one
        # process would do as well.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        for name, cells in sorted(label_folder(client, args.images, args.out).items()):
            print(f"{name}: {cells} cells")


if __name__ == "__main__":
    main()
