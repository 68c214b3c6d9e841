"""The cost of BackupAndRestore on W1: what each backup costs the training loop, as a share of the epoch's time.

W1: 1,000 samples, Model(8, 2, size=32), pop_size 100, full batch, seeded, workers=1. A timing callback reads the
clocks at each epoch's begin and end; the backup is handed to its writer thread after every callback's
on_epoch_end and before the next on_epoch_begin, so the gap between the two is what the loop spends on it (a run
without the backup gives the gap's floor). The loop thread's CPU time is shown beside the wall time, which a
loaded machine inflates; the writer thread's CPU time per backup (encoding and writing, off the loop's path) is
the process's CPU time over an epoch and its gap minus the loop thread's. Target: under 5% of the epoch's time.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import kestrin
from kestrin.callbacks import BackupAndRestore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import W1, w1_data  # noqa: E402


class Clock:
    """(wall, loop thread CPU, process CPU) at every epoch's begin and end."""

    def __init__(self):
        self.begins, self.ends = [], []

    @staticmethod
    def now():
        return time.perf_counter(), time.thread_time(), time.process_time()

    def on_epoch_begin(self, epoch, logs):
        self.begins.append(self.now())

    def on_epoch_end(self, epoch, logs):
        self.ends.append(self.now())

    def epochs(self, clock):
        return statistics.median(end[clock] - begin[clock] for begin, end in zip(self.begins, self.ends))

    def gaps(self, clock):
        return statistics.median(begin[clock] - end[clock] for end, begin in zip(self.ends, self.begins[1:]))

    def writer_cpu(self):
        """The process's CPU time beyond the loop thread's, over an epoch and the gap after it."""
        cycles = zip(self.begins, self.begins[1:])
        return statistics.median((b[2] - a[2]) - (b[1] - a[1]) for a, b in cycles)


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
    parser.add_argument("--epochs", type=int, default=40)
    args = parser.parse_args()
    print(f"BackupAndRestore on W1 ({W1['samples']} samples, Model(8, 2, size={W1['size']}), "
          f"pop_size {W1['pop_size']}, full batch), {args.epochs} epochs, medians; ms")
    print(f"{'optimizer':<10} {'epoch':>7} {'epoch cpu':>9} {'gap':>7} {'gap cpu':>8} {'floor':>7} "
          f"{'writer cpu':>10} {'kB':>6} {'share':>7}")
    worst = 0.0
    for optimizer in ("alpha", "beta"):
        with tempfile.TemporaryDirectory() as folder:
            backup_dir = os.path.join(folder, "backup")
            with_backup = timed(args.epochs, backup_dir, optimizer)
            without = timed(args.epochs, None, optimizer)
            keep = BackupAndRestore(backup_dir, delete_checkpoint=False)
            x, y = w1_data(W1["samples"])
            model = kestrin.Model(8, 2, size=W1["size"])
            model.compile(optimizer, "mse")
            model.evolve(x, y, pop_size=W1["pop_size"], epochs=3, verbose=0, callbacks=[keep])
            size = os.path.getsize(os.path.join(backup_dir, "run.backup"))
        # The loop's CPU time is what the backup takes from the epoch; on an idle machine the wall gap is the same.
        share = (with_backup.gaps(1) - without.gaps(1)) / with_backup.epochs(1)
        worst = max(worst, share)
        print(f"{optimizer:<10} {1e3 * with_backup.epochs(0):7.2f} {1e3 * with_backup.epochs(1):9.2f} "
              f"{1e3 * with_backup.gaps(0):7.3f} {1e3 * with_backup.gaps(1):8.3f} {1e3 * without.gaps(1):7.3f} "
              f"{1e3 * with_backup.writer_cpu():10.2f} {size / 1e3:6.0f} {100 * share:6.2f}%")
    print(f"target: a backup under 5% of the epoch's time (loop thread): {'met' if worst < 0.05 else 'MISSED'} "
          f"(worst {100 * worst:.2f}%)")


if __name__ == "__main__":
    main()
