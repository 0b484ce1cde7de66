#!/usr/bin/env python3
"""Times sondrel against the reference tools on the benchmark volumes.

Each comparison runs its two commands alternately, several times each, after one untimed
warm-up of each (so the page cache is warm), and prints the median wall time, the ratio of the
medians and the peak resident memory (/usr/bin/time %M) of every command. Both output streams
of every command go to /dev/null.

  bench/run.py [--sondrel build/default/sondrel] [--runs 5] [--volumes v200k,v1m,...]

Volumes come from bench/build-images.sh (cache dir $SONDREL_BENCH_DIR, else
/var/tmp/sondrel-bench); missing ones are skipped with a note. Each volume is mounted read-only
through ntfs-3g for the run and unmounted afterwards.

  --save-outputs DIR   also write the full -list/-dig output (stdout and stderr) of each volume
                       to DIR, to compare two builds byte for byte (diff -r DIR1 DIR2);
                       with --outputs-only nothing is timed.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CACHE = os.environ.get("SONDREL_BENCH_DIR", "/var/tmp/sondrel-bench")
DRIVE = "x"

# Goals the comparisons are held to (ratio of medians, first command over second).
GOAL_LIST_RAW_VS_FLS = 0.15
GOAL_VIEW_VS_FIND = 2.5
GOAL_LINEAR = 5.5
GOAL_FLAT_VS_TREE = 2.0
GOAL_SHORT_VS_LONG = 2.0


def timed(cmd, env=None):
    """Runs cmd once; returns (wall seconds, peak RSS in KiB)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        full = ["/usr/bin/time", "-f", "%M", "-o", tf.name] + cmd
        start = time.perf_counter()
        proc = subprocess.run(full, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            raise RuntimeError(f"command failed ({proc.returncode}): {' '.join(cmd)}")
        lines = [line for line in tf.read().splitlines() if line.strip()]
        return wall, int(lines[-1])


class Result:
    def __init__(self, label, walls, rss):
        self.label = label
        self.walls = walls
        self.rss = rss

    @property
    def median(self):
        return statistics.median(self.walls)

    @property
    def peak(self):
        return max(self.rss)


def compare(label_a, cmd_a, env_a, label_b, cmd_b, env_b, runs):
    """Runs a and b alternately, runs times each, after one warm-up of each."""
    timed(cmd_a, env_a)
    timed(cmd_b, env_b)
    wa, ra, wb, rb = [], [], [], []
    for i in range(runs):
        # Alternate which goes first so neither always follows the other.
        order = [(cmd_a, env_a, wa, ra), (cmd_b, env_b, wb, rb)]
        if i % 2:
            order.reverse()
        for cmd, env, walls, rss in order:
            w, r = timed(cmd, env)
            walls.append(w)
            rss.append(r)
    return Result(label_a, wa, ra), Result(label_b, wb, rb)


def single(label, cmd, env, runs):
    timed(cmd, env)
    walls, rss = [], []
    for _ in range(runs):
        w, r = timed(cmd, env)
        walls.append(w)
        rss.append(r)
    return Result(label, walls, rss)


def fmt_res(r):
    return f"{r.label:<34} median {r.median:8.3f} s  peak {r.peak / 1024:7.1f} MiB"


def verdict(value, goal, lower_is_better=True):
    ok = value <= goal if lower_is_better else value >= goal
    return "ok" if ok else "MISSED"


class Volume:
    """One benchmark image, mounted read-only, with two dosdevices folders: raw only, and
    raw plus the mounted view."""

    def __init__(self, name, workdir):
        self.name = name
        self.image = os.path.join(CACHE, name + ".img")
        self.mount = os.path.join(workdir, "mnt-" + name)
        self.raw_dd = os.path.join(workdir, "dd-raw-" + name)
        self.view_dd = os.path.join(workdir, "dd-view-" + name)
        self.mounted = False

    def available(self):
        return os.path.exists(self.image + ".done")

    def __enter__(self):
        os.makedirs(self.mount, exist_ok=True)
        subprocess.run(["ntfs-3g", "-o", "ro", self.image, self.mount], check=True)
        self.mounted = True
        for folder, view in ((self.raw_dd, False), (self.view_dd, True)):
            os.makedirs(folder, exist_ok=True)
            os.symlink(self.image, os.path.join(folder, DRIVE + "::"))
            if view:
                os.symlink(self.mount, os.path.join(folder, DRIVE + ":"))
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["fusermount", "-u", self.mount], check=False)
            self.mounted = False
        for folder in (self.raw_dd, self.view_dd):
            shutil.rmtree(folder, ignore_errors=True)
        try:
            os.rmdir(self.mount)
        except OSError:
            pass

    def env(self, view):
        e = dict(os.environ)
        e["SONDREL_DOSDEVICES"] = self.view_dd if view else self.raw_dd
        return e


def save_outputs(vol, sondrel, outdir):
    os.makedirs(outdir, exist_ok=True)
    runs = [("list-raw", "-list", False), ("list-view", "-list", True), ("dig-view", "-dig", True)]
    for tag, mode, view in runs:
        base = os.path.join(outdir, f"{vol.name}.{tag}")
        with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
            subprocess.run([sondrel, mode, DRIVE], stdout=out, stderr=err,
                           env=vol.env(view), check=False)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sondrel", default=os.path.join(REPO, "build", "default", "sondrel"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--volumes", default="v200k,v1m,tree100k,flat100k,short200k,long200k")
    parser.add_argument("--save-outputs", metavar="DIR")
    parser.add_argument("--outputs-only", action="store_true",
                        help="only write the outputs for --save-outputs, time nothing")
    parser.add_argument("--skip-view", action="store_true",
                        help="time only the raw -list comparisons")
    args = parser.parse_args()

    sondrel = os.path.abspath(args.sondrel)
    if not os.access(sondrel, os.X_OK):
        sys.exit(f"no sondrel binary at {sondrel}: build it first (cmake --preset default)")
    for tool in ("fls", "icat", "ntfs-3g", "/usr/bin/time"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing: run scripts/install-deps.sh")

    # A SIGTERM/SIGINT must still unmount: turn both into an exception.
    def stop(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, stop)

    names = [n for n in args.volumes.split(",") if n]
    workdir = tempfile.mkdtemp(prefix="run.", dir=CACHE)
    results = {}
    try:
        for name in names:
            vol = Volume(name, workdir)
            if not vol.available():
                print(f"== {name}: no image in {CACHE} (run bench/build-images.sh {name}); skipped")
                continue
            with vol:
                if args.outputs_only:
                    if args.save_outputs:
                        save_outputs(vol, sondrel, args.save_outputs)
                        print(f"== {name}: outputs in {args.save_outputs}", flush=True)
                    continue
                print(f"== {name} ({args.runs} runs each, medians)", flush=True)
                r = {}
                a, b = compare("sondrel -list (raw, no view)", [sondrel, "-list", DRIVE],
                               vol.env(False), "fls -r -p", ["fls", "-r", "-p", vol.image], None,
                               args.runs)
                r["list_raw"], r["fls"] = a, b
                print(fmt_res(a))
                print(fmt_res(b))
                ratio = a.median / b.median
                print(f"  ratio {ratio:.3f} (goal <= {GOAL_LIST_RAW_VS_FLS}) "
                      f"{verdict(ratio, GOAL_LIST_RAW_VS_FLS)}; memory "
                      f"{verdict(a.peak, b.peak)} ({a.peak} vs {b.peak} KiB)")
                icat = single("icat IMAGE 0 ($MFT once)", ["icat", vol.image, "0"], None,
                              args.runs)
                r["icat"] = icat
                print(fmt_res(icat))
                if not args.skip_view:
                    find_cmd = ["find", vol.mount, "-printf", ""]
                    for key, mode in (("dig_view", "-dig"), ("list_view", "-list")):
                        a, b = compare(f"sondrel {mode} (ntfs-3g view)", [sondrel, mode, DRIVE],
                                       vol.env(True), "find MOUNT -printf ''", find_cmd, None,
                                       args.runs)
                        r[key], r["find_" + key] = a, b
                        print(fmt_res(a))
                        print(fmt_res(b))
                        ratio = a.median / b.median
                        print(f"  ratio {ratio:.3f} (goal <= {GOAL_VIEW_VS_FIND}) "
                              f"{verdict(ratio, GOAL_VIEW_VS_FIND)}")
                    # ntfs-3g leaves the size in $FILE_NAME at 0, so -list asks the view for
                    # every file's size: one lookup per file, which a bare walk never makes.
                    # A walk that sizes every file is the peer that does the same work.
                    sized = ["find", vol.mount, "-printf", "%s"]
                    a, b = compare("sondrel -list (ntfs-3g view)", [sondrel, "-list", DRIVE],
                                   vol.env(True), "find MOUNT -printf '%s'", sized, None,
                                   args.runs)
                    r["find_sized"] = b
                    print(fmt_res(a))
                    print(fmt_res(b))
                    ratio = a.median / b.median
                    print(f"  ratio {ratio:.3f} (goal <= {GOAL_VIEW_VS_FIND}) "
                          f"{verdict(ratio, GOAL_VIEW_VS_FIND)}")
                if args.save_outputs:
                    save_outputs(vol, sondrel, args.save_outputs)
                results[name] = r
                sys.stdout.flush()

        if not args.outputs_only and not args.skip_view and {"short200k", "long200k"} <= set(names):
            short_vs_long(sondrel, workdir, args.runs)
        if not args.outputs_only:
            summary(results)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def short_vs_long(sondrel, workdir, runs):
    """The 8.3-first volume against its long-name twin, both mounted at once so that the two
    runs alternate: paths built from 8.3 names must not cost the view much more."""
    short, long_ = Volume("short200k", workdir), Volume("long200k", workdir)
    if not (short.available() and long_.available()):
        print("== short200k vs long200k: needs both images; skipped")
        return
    print(f"== short200k (8.3 first) vs long200k (long names only), {runs} runs each")
    with short, long_:
        for mode in ("-dig", "-list"):
            a, b = compare(f"sondrel {mode} (view) short200k", [sondrel, mode, DRIVE],
                           short.env(True), f"sondrel {mode} (view) long200k",
                           [sondrel, mode, DRIVE], long_.env(True), runs)
            print(fmt_res(a))
            print(fmt_res(b))
            ratio = a.median / b.median
            print(f"  ratio {ratio:.3f} (goal <= {GOAL_SHORT_VS_LONG}) "
                  f"{verdict(ratio, GOAL_SHORT_VS_LONG)}")
    sys.stdout.flush()


def summary(results):
    print("== scaling")
    if "v200k" in results and "v1m" in results:
        small, big = results["v200k"], results["v1m"]
        for key in ("list_raw", "dig_view", "list_view", "fls"):
            if key in small and key in big:
                t = big[key].median / small[key].median
                m = big[key].peak / small[key].peak
                print(f"  {big[key].label:<34} 1M/200k time x{t:.2f} (goal <= {GOAL_LINEAR}) "
                      f"{verdict(t, GOAL_LINEAR)}, memory x{m:.2f} (goal <= 5) {verdict(m, 5.0)}")
    else:
        print("  (needs both v200k and v1m)")
    if "flat100k" in results and "tree100k" in results:
        flat, tree = results["flat100k"], results["tree100k"]
        for key in ("list_raw", "dig_view", "list_view"):
            if key in flat and key in tree:
                t = flat[key].median / tree[key].median
                print(f"  {flat[key].label:<34} flat/tree time x{t:.2f} (goal <= "
                      f"{GOAL_FLAT_VS_TREE}) {verdict(t, GOAL_FLAT_VS_TREE)}")
    else:
        print("  (needs both flat100k and tree100k)")


if __name__ == "__main__":
    main()
