#!/usr/bin/python3
"""Rectifies a list of stereo pairs on a Dask cluster.

One task per chunk of pairs; each worker builds its rectifier once (a worker
plugin), and every task writes its pairs' outputs atomically into the one
output folder, as stereo-rectify-batch does, so a task that Dask retries (a
worker lost, a file system hiccup) rewrites the same files whole. Needs the
stereo_rectify module and the files (calibration, images, output folder) on
every worker, at the same paths.

    # two local worker processes
    python3 examples/dask_rectify.py --calibration stereo.yml --pairs pairs.txt \\
        --output-dir rectified --workers 2
    # a running cluster
    python3 examples/dask_rectify.py ... --scheduler tcp://head:8786
"""

import argparse
import logging
import sys
from pathlib import Path

import stereo_rectify
from distributed import Client, LocalCluster, WorkerPlugin, get_worker

PLUGIN = "stereo-rectify"


class RectifierPlugin(WorkerPlugin):
    """Builds the rectifier once per worker, when the worker takes the plugin."""

    def __init__(self, calibration, options):
        self.calibration, self.options, self.rectifier = calibration, options, None

    def setup(self, worker):
        calibration = stereo_rectify.Calibration.from_file(*self.calibration)
        self.rectifier = stereo_rectify.Rectifier(calibration, **self.options)


def rectify_chunk(pairs, output_dir, file_options):
    """A task: the pairs of one chunk into output_dir. Raises OSError (and Dask
    retries the task) when a pair fails."""
    rectifier = get_worker().plugins[PLUGIN].rectifier
    return stereo_rectify.rectify_files(rectifier, pairs, output_dir, jobs=1, **file_options)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calibration", action="append", required=True,
                        help="calibration file (repeat to merge files)")
    parser.add_argument("--pairs", required=True, help="pair list file (stereo-rectify-batch --pairs)")
    parser.add_argument("--output-dir", required=True)
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    cluster.add_argument("--workers", type=int, default=2,
                         help="else: local worker processes to start (default 2)")
    parser.add_argument("--chunk", type=int, default=8, help="pairs per task (default 8)")
    parser.add_argument("--retries", type=int, default=2, help="retries of a failed task (default 2)")
    parser.add_argument("--view", default="full")
    parser.add_argument("--interpolation", default="linear")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--format", default="png")
    args = parser.parse_args()

    # Absolute paths: a worker on another machine runs in another folder.
    pairs = [(str(Path(left).resolve()), str(Path(right).resolve()))
             for left, right in stereo_rectify.read_pair_list(args.pairs)]
    if not pairs:
        sys.exit(f"{args.pairs}: no pairs to rectify")
    calibration = [str(Path(path).resolve()) for path in args.calibration]
    options = {"view": args.view, "interpolation": args.interpolation, "scale": args.scale}
    # Built here too, to refuse a bad calibration or option before the cluster
    # starts, and to fix the image size every worker uses.
    loaded = stereo_rectify.Calibration.from_file(*calibration)
    if loaded.image_size is None:
        options["image_size"] = tuple(stereo_rectify.read_image(pairs[0][0]).shape[1::-1])
    stereo_rectify.Rectifier(loaded, **options)
    # Tasks only see their own chunk: outputs named alike in two chunks
    # would overwrite each other, so they are refused here.
    for side in (0, 1):
        stems = [Path(pair[side]).stem for pair in pairs]
        if len(set(stems)) != len(stems):
            sys.exit("two pairs' outputs would have the same name; rename the images")
    output_dir = str(Path(args.output_dir).resolve())
    file_options = {"format": args.format}

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                     processes=True, silence_logs=logging.ERROR))
    with client:
        client.register_worker_plugin(RectifierPlugin(calibration, options), name=PLUGIN)
        chunks = [pairs[i:i + args.chunk] for i in range(0, len(pairs), args.chunk)]
        futures = client.map(rectify_chunk, chunks, output_dir=output_dir,
                             file_options=file_options, retries=args.retries, pure=False)
        failed = 0
        for future, chunk in zip(futures, chunks):
            try:
                future.result()
            except Exception as error:  # the task's last attempt failed
                failed += len(chunk)
                print(f"chunk from {chunk[0][0]}: {error}", file=sys.stderr)
    print(f"{len(pairs) - failed} of {len(pairs)} pairs rectified into {output_dir}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
