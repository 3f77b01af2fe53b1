"""Pillow decoding a picture whole, timed in the process: open and load, RUNS times.

    pillow_decode.py FILE RUNS

Prints the median milliseconds of wall time and of processor time.
"""
import statistics
import sys
import time

from PIL import Image


def main():
    path, runs = sys.argv[1], int(sys.argv[2])
    times, cpu = [], []
    for _ in range(runs):
        begin, cpu_begin = time.perf_counter(), time.process_time()
        with Image.open(path) as image:
            image.load()
        times.append((time.perf_counter() - begin) * 1000)
        cpu.append((time.process_time() - cpu_begin) * 1000)
    print("%.1f %.1f" % (statistics.median(times), statistics.median(cpu)))


if __name__ == "__main__":
    main()
