"""Pillow decoding a picture whole, timed in the process: open and load, RUNS times.

    pillow_decode.py FILE RUNS

Prints the median milliseconds.
"""
import statistics
import sys
import time

from PIL import Image


def main():
    path, runs = sys.argv[1], int(sys.argv[2])
    times = []
    for _ in range(runs):
        begin = time.perf_counter()
        with Image.open(path) as image:
            image.load()
        times.append((time.perf_counter() - begin) * 1000)
    print("%.1f" % statistics.median(times))


if __name__ == "__main__":
    main()
