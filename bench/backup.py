"""The cost of BackupAndRestore on W1: the time each backup takes to write, as a share of the epoch's time.

W1: 1,000 samples, Model(8, 2, size=32), pop_size 100, full batch, seeded. A timing callback reads the clock at
each epoch's begin and end; the backup is written after every callback's on_epoch_end and before the next
on_epoch_begin, so the gap between the two is the write (a run without the backup gives the gap's floor). Target:
under 5% of the epoch's time.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import kestrin
from kestrin.callbacks import BackupAndRestore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import W1, w1_data  # noqa: E402


class Clock:
    def __init__(self):
        self.begins, self.ends = [], []

    def on_epoch_begin(self, epoch, logs):
        self.begins.append(time.perf_counter())

    def on_epoch_end(self, epoch, logs):
        self.ends.append(time.perf_counter())

    def epochs(self):
        return [end - begin for begin, end in zip(self.begins, self.ends)]

    def gaps(self):
        return [begin - end for end, begin in zip(self.ends, self.begins[1:])]


def timed(epochs, backup_dir, optimizer):
    x, y = w1_data(W1["samples"])
    kestrin.set_random_seed(1)
    model = kestrin.Model(8, 2, size=W1["size"])
    model.compile(optimizer, "mse")
    clock = Clock()
    callbacks = [clock] + ([BackupAndRestore(backup_dir)] if backup_dir else [])
    model.evolve(x, y, pop_size=W1["pop_size"], epochs=epochs, verbose=0, callbacks=callbacks)
    return clock


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epochs", type=int, default=30)
    args = parser.parse_args()
    print(f"BackupAndRestore on W1 ({W1['samples']} samples, Model(8, 2, size={W1['size']}), "
          f"pop_size {W1['pop_size']}, full batch), {args.epochs} epochs, medians")
    print(f"{'optimizer':<10} {'epoch ms':>9} {'write ms':>9} {'floor ms':>9} {'backup kB':>10} {'share':>7}")
    worst = 0.0
    for optimizer in ("alpha", "beta"):
        with tempfile.TemporaryDirectory() as folder:
            backup_dir = os.path.join(folder, "backup")
            sizes = []

            class Size:
                def on_epoch_begin(self, epoch, logs):
                    path = os.path.join(backup_dir, "run.backup")
                    if os.path.exists(path):
                        sizes.append(os.path.getsize(path))

            with_backup = timed(args.epochs, backup_dir, optimizer)
            without = timed(args.epochs, None, optimizer)
            # The file's size, from a short run of its own (a callback in the timed run would add to the gap).
            x, y = w1_data(W1["samples"])
            model = kestrin.Model(8, 2, size=W1["size"])
            model.compile(optimizer, "mse")
            model.evolve(x, y, pop_size=W1["pop_size"], epochs=3, verbose=0,
                         callbacks=[Size(), BackupAndRestore(backup_dir)])
        epoch = statistics.median(with_backup.epochs())
        write = statistics.median(with_backup.gaps())
        floor = statistics.median(without.gaps())
        share = (write - floor) / epoch
        worst = max(worst, share)
        print(f"{optimizer:<10} {1e3 * epoch:9.2f} {1e3 * write:9.2f} {1e3 * floor:9.3f} "
              f"{statistics.median(sizes) / 1e3:10.1f} {100 * share:6.2f}%")
    print(f"target: a backup under 5% of the epoch's time: {'met' if worst < 0.05 else 'MISSED'} "
          f"(worst {100 * worst:.2f}%)")


if __name__ == "__main__":
    main()
