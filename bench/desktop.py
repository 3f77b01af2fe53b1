#!/usr/bin/python3
"""The road the user takes: the desktop job behind Apply and the automation, and the idle program.

    bench/desktop.py BUILD_DIR FOREGROUND BACKGROUND [--runs N]

1. `tapestrix-compose --apply` (the drawing thread's desktop job: load, compose at the screen's
   size, write the BMP, set the root window of a private 3840 x 2160 Xvfb) against Pillow doing
   the same composition (bench/pillow_compose.py), runs interleaved: wall time and peak memory.
2. The idle program: `tapestrix` started with the two pictures in its editors, against the same
   program with empty editors: resident memory once it has settled.
Prints a Markdown table; bench/run calls it after its own.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_display():
    for n in range(90, 200):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return ":%d" % n
    sys.exit("no free X display number")


class Xvfb:
    def __init__(self, width, height):
        self.display = free_display()
        self.process = subprocess.Popen(
            ["Xvfb", self.display, "-screen", "0", "%dx%dx24" % (width, height), "-noreset",
             "-nolisten", "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X" + self.display[1:]):
                return
            time.sleep(0.05)
        sys.exit("Xvfb did not start")

    def close(self):
        self.process.terminate()
        self.process.wait()


def environment(home, display):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("XDG_", "WAYLAND", "DESKTOP_SESSION", "SWAYSOCK", "HYPRLAND",
                                "DBUS_SESSION", "QT_QPA"))}
    env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                "XDG_DATA_HOME": os.path.join(home, ".local/share"),
                "XDG_RUNTIME_DIR": os.path.join(home, "run"), "DISPLAY": display})
    for d in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"):
        os.makedirs(env[d], mode=0o700, exist_ok=True)
    return env


def timed(command, env=None):
    """Wall seconds and peak resident memory (MiB) of one process."""
    begin = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - begin
    if result.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr))
    return wall, int(result.stderr.strip().splitlines()[-1]) / 1024


def resident_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def idle_memory(program, home, display, foreground, background):
    """Resident memory of the program once it has settled, with these pictures in its editors."""
    env = environment(home, display)
    settings = os.path.join(env["XDG_CONFIG_HOME"], "Halvern")
    os.makedirs(settings, exist_ok=True)
    with open(os.path.join(settings, "Tapestrix.conf"), "w") as f:
        f.write("[Options]\nForeground=%s\nBackground=%s\n" % (foreground, background))
    process = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        samples = []
        time.sleep(4)  # started, pictures read, window shown
        for _ in range(6):
            samples.append(resident_mib(process.pid))
            time.sleep(0.5)
        return min(samples[-3:])
    finally:
        process.terminate()
        process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("foreground")
    parser.add_argument("background")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    compose = os.path.join(args.build, "src", "tapestrix-compose")
    program = os.path.join(args.build, "src", "tapestrix")
    work = tempfile.mkdtemp(prefix="tapestrix-bench-")
    server = Xvfb(3840, 2160)
    try:
        env = environment(os.path.join(work, "apply"), server.display)
        walls = {"ours": [], "pillow": []}
        peaks = {"ours": [], "pillow": []}
        for _ in range(args.runs):
            wall, peak = timed([compose, "--apply", "--foreground", args.foreground,
                                "--background", args.background, "--quiet"], env)
            walls["ours"].append(wall)
            peaks["ours"].append(peak)
            wall, peak = timed(["/usr/bin/python3", os.path.join(HERE, "pillow_compose.py"),
                                "3840", "2160", args.foreground, args.background,
                                os.path.join(work, "pillow.bmp")])
            walls["pillow"].append(wall)
            peaks["pillow"].append(peak)
        wall = {k: statistics.median(v) for k, v in walls.items()}
        peak = {k: statistics.median(v) for k, v in peaks.items()}
        empty = idle_memory(program, os.path.join(work, "empty"), server.display, "", "")
        full = idle_memory(program, os.path.join(work, "full"), server.display, args.foreground,
                           args.background)
    finally:
        server.close()
        shutil.rmtree(work, ignore_errors=True)

    print("| the desktop job (tapestrix-compose --apply, 3840x2160 Xvfb root window) | wall | "
          "peak memory |")
    print("|---|---|---|")
    print("| tapestrix-compose --apply | %.3f s | %.0f MiB |" % (wall["ours"], peak["ours"]))
    print("| Pillow (decode, BOX resize, paste, save BMP) | %.3f s | %.0f MiB |" %
          (wall["pillow"], peak["pillow"]))
    print("| ratio (goal <= 0.4) | %.2f | %.2f |" %
          (wall["ours"] / wall["pillow"], peak["ours"] / peak["pillow"]))
    print()
    print("| the idle program (resident memory once settled) | |")
    print("|---|---|")
    print("| empty editors | %.1f MiB |" % empty)
    print("| the two pictures in the editors | %.1f MiB |" % full)
    print("| ratio (goal <= 1.25) | %.2f |" % (full / empty))


if __name__ == "__main__":
    main()
