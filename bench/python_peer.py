#!/usr/bin/python3
"""The Python loop a user would write instead of stereo-rectify-batch: OpenCV's
stereoRectify and initUndistortRectifyMap once, then imread, remap (bilinear)
and imwrite per pair; with --processes N, the same loop over a pool of N
processes, each computing the maps once (the careful user's version).

    python_peer.py CALIBRATION.yml PAIRS.txt OUTPUT_DIR EXTENSION [--processes N]

Pairs: one a line, two paths separated by a tab, relative to the list's folder.
Outputs go to OUTPUT_DIR/left/ and OUTPUT_DIR/right/ under the input names with
EXTENSION (".ppm", ".png"). Exit status 0 on success."""

import multiprocessing
import os
import sys

import cv2

MAPS = None


def make_maps(calibration_path):
    fs = cv2.FileStorage(calibration_path, cv2.FILE_STORAGE_READ)
    K1, D1 = fs.getNode("K1").mat(), fs.getNode("D1").mat()
    K2, D2 = fs.getNode("K2").mat(), fs.getNode("D2").mat()
    R, T = fs.getNode("R").mat(), fs.getNode("T").mat()
    size = (int(fs.getNode("image_width").real()), int(fs.getNode("image_height").real()))
    R1, R2, P1, P2, _, _, _ = cv2.stereoRectify(K1, D1, K2, D2, size, R, T)
    left = cv2.initUndistortRectifyMap(K1, D1, R1, P1, size, cv2.CV_16SC2)
    right = cv2.initUndistortRectifyMap(K2, D2, R2, P2, size, cv2.CV_16SC2)
    return left, right


def rectify(pair, output_dir, extension):
    for side, path, (map1, map2) in (("left", pair[0], MAPS[0]), ("right", pair[1], MAPS[1])):
        image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        out = cv2.remap(image, map1, map2, cv2.INTER_LINEAR)
        name = os.path.splitext(os.path.basename(path))[0] + extension
        cv2.imwrite(os.path.join(output_dir, side, name), out)


def start_worker(calibration_path):
    global MAPS
    MAPS = make_maps(calibration_path)


def main():
    calibration, list_path, output_dir, extension = sys.argv[1:5]
    processes = int(sys.argv[6]) if len(sys.argv) > 6 and sys.argv[5] == "--processes" else 1
    folder = os.path.dirname(list_path)
    with open(list_path) as lines:
        pairs = [[os.path.join(folder, p) for p in line.rstrip("\n").split("\t")]
                 for line in lines if line.strip()]
    for side in ("left", "right"):
        os.makedirs(os.path.join(output_dir, side), exist_ok=True)
    if processes == 1:
        start_worker(calibration)
        for pair in pairs:
            rectify(pair, output_dir, extension)
        return
    with multiprocessing.Pool(processes, start_worker, (calibration,)) as pool:
        pool.starmap(rectify, [(pair, output_dir, extension) for pair in pairs], chunksize=4)


if __name__ == "__main__":
    main()
