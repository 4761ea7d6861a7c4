"""python3 -m quillaventora.batch INPUT... --out DIR: the exports of many clips, with Dask.

Each clip is one task, a pure function: the clip, the parameters and the options in, one file
out, OUT/<relative path>.h5, written by export_clip (retina-replay --deterministic --headless
--export, in the worker's process) to a temporary file beside it and renamed into place, then
read back for its SHA-256. The scheduler decides where and in which order tasks run. By default
the command starts a local Dask cluster of worker processes, one thread each, and stops it at the
end; --scheduler ADDRESS uses a running cluster whose workers see the inputs and OUT at the same
paths. OUT/manifest.jsonl gets one row per clip as it finishes (see manifest.py); a second run
with the same arguments skips the clips whose row still holds (same input size and time, same
parameters, options and version, output unchanged) and redoes the rest. A clip whose input ended
before its known end (truncated, damaged) is done, its row and the closing line saying where;
with --fail-on-early-end it fails, with that cause.

Exit status: 0 every clip done or skipped; 1 some failed (their rows say why); 2 refused before
any clip ran; 130 stopped by Ctrl-C.
"""

import argparse
import datetime
import hashlib
import logging
import os
import queue
import shutil
import signal
import socket
import sys
import time
from dataclasses import dataclass

from . import ExportError, Parameters, __version__, export_clip
from . import _quillaventora
from .clips import find_clips, stat_or_none
from .manifest import NAME as MANIFEST_NAME
from .manifest import ManifestBusy, ManifestWriter, last_rows, read_rows, text

# ---------------------------------------------------------------------------------------------
# The task: runs on a worker


@dataclass(frozen=True)
class ClipJob:
    """One clip's task. Paths are absolute and must mean the same file on every worker."""

    input: str
    output: str
    parameters: Parameters
    frames: int = None  # None: the whole clip (300 frames of a still image)
    fovea: str = None  # None (the model moves it) or "fixed"
    fovea_path: str = None
    export_gains: bool = False
    fail_on_early_end: bool = False  # an input that ended before its known end fails the clip
    expected_sha256: str = None  # the output's checksum in the manifest: skip if it still has it


def file_sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def run_clip(job):
    """Exports one clip; returns its result as a dict (status done, failed or skipped).

    A clip that cannot be read or whose output fails is a result with its cause, not an
    exception: running it again would give the same. Anything else raises, and Dask retries it.
    """
    start = time.perf_counter()
    result = {"worker": _worker_address(), "host": socket.gethostname(), "version": __version__}
    if job.expected_sha256 is not None:
        try:
            unchanged = file_sha256(job.output) == job.expected_sha256
        except FileNotFoundError:
            unchanged = False
        if unchanged:
            _quillaventora._clear_stale_temporaries(job.output)
            return {**result, "status": "skipped", "output_sha256": job.expected_sha256,
                    "seconds": time.perf_counter() - start}
    try:
        os.makedirs(os.path.dirname(job.output), exist_ok=True)
        # One thread a clip: the workers are one process per core with one thread each.
        exported = export_clip(job.input, job.output, parameters=job.parameters,
                               frames=job.frames, fovea=job.fovea, fovea_path=job.fovea_path,
                               export_gains=job.export_gains, writer_thread=False)
    except (ExportError, ValueError) as error:
        return {**result, "status": "failed", "cause": str(error),
                "seconds": time.perf_counter() - start}
    except OSError as error:  # the output's folder cannot be made
        return {**result, "status": "failed", "cause": f"{error.strerror}: '{error.filename}'",
                "seconds": time.perf_counter() - start}
    ended_early = exported.input_ended_early
    result.update(frames=exported.frames, events=exported.events, input_ended_early=ended_early,
                  output_sha256=file_sha256(job.output), seconds=time.perf_counter() - start)
    if ended_early and job.fail_on_early_end:  # the export stays: it holds what was read
        return {**result, "status": "failed", "cause": f"the input ended early: {ended_early}"}
    return {**result, "status": "done"}


def _worker_address():
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):  # called outside a worker
        return ""


def _quillaventora_version():
    return __version__


# ---------------------------------------------------------------------------------------------
# Resuming


def resume_checksum(previous, input_state, settings, output_exists, fail_on_early_end=False):
    """The output checksum a task must find to skip its clip, or None to run it.

    previous: the clip's last manifest row (or None); input_state: (size, mtime_ns) of the
    input now, or None when it cannot be read; settings: what shapes the output (parameter set
    hash, options, version) as the rows hold them; fail_on_early_end: a clip whose input ended
    early is run again, to fail.
    """
    if previous is None or input_state is None or not output_exists:
        return None
    if fail_on_early_end and previous.get("input_ended_early"):
        return None
    if previous.get("status") not in ("done", "skipped") or not previous.get("output_sha256"):
        return None
    if (previous.get("input_size"), previous.get("input_mtime_ns")) != tuple(input_state):
        return None
    if any(previous.get(key) != value for key, value in settings.items()):
        return None
    return previous["output_sha256"]


def _input_state(path):
    info = stat_or_none(path)
    return info and (info.st_size, info.st_mtime_ns)


# ---------------------------------------------------------------------------------------------
# Where tasks run


class Refused(Exception):
    """The batch cannot start; the message says why (exit status 2)."""


class Cluster:
    """The local cluster the command starts, or a connection to a running one."""

    def __init__(self, scheduler, workers, retries):
        self.scheduler, self.workers, self.retries = scheduler, workers, retries
        self.local = None
        self.client = None

    def start(self):
        import dask
        from distributed import Client, LocalCluster

        if self.scheduler:
            try:
                self.client = Client(self.scheduler, timeout="10s")
            except (OSError, TimeoutError) as error:
                raise Refused(f"cannot reach the scheduler at {self.scheduler}: {error}")
            self._check_workers()
            return
        # The workers ignore Ctrl-C, which the terminal sends to the whole process group: the
        # command stops them itself. They inherit SIGINT blocked from the thread that starts
        # them (the cluster's event loop, started here), also when one is restarted later.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            # submit's retries cover a task that raised; the scheduler's allowed-failures, how
            # often a task may be lost with its worker (one queued on it counts too).
            with dask.config.set({"distributed.scheduler.allowed-failures": self.retries}):
                self.local = LocalCluster(n_workers=self.workers, threads_per_worker=1,
                                          processes=True, host="127.0.0.1",
                                          dashboard_address="127.0.0.1:0",
                                          silence_logs=logging.ERROR)
            self.client = Client(self.local)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)

    def _check_workers(self):
        """Refuses workers that cannot import this module or run another version of it."""
        try:
            versions = self.client.run(_quillaventora_version)
        except Exception as error:  # what the worker raised, e.g. ModuleNotFoundError
            raise Refused(f"a worker of {self.scheduler} cannot run the clips: "
                          f"{type(error).__name__}: {error}")
        for worker, version in sorted(versions.items()):
            if version != __version__:
                raise Refused(f"worker {worker} runs quillaventora {version}, this command "
                              f"{__version__}: the outputs would differ")

    def dashboard(self):
        """The dashboard's address when the scheduler can serve one (with bokeh), else None."""
        # The scheduler's own versions only: its HTTP service is there without bokeh too,
        # serving a page that asks for it.
        try:
            versions = self.client.sync(self.client.scheduler.versions, packages=["bokeh"])
            if versions["packages"].get("bokeh"):
                return self.client.dashboard_link
        except Exception:  # versions unknown: say nothing rather than a wrong address
            pass
        return None

    def abandon(self, futures):
        """Ctrl-C: running clips are abandoned. Local worker processes are killed at once (their
        temporary files are removed afterwards); a running cluster's are asked to cancel."""
        if self.local is not None:
            for nanny in list(self.local.workers.values()):
                nanny.close_gracefully()  # no restart
                if nanny.pid:
                    try:
                        os.kill(nanny.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
        elif self.client is not None:
            self.client.cancel(futures)

    def close(self):
        if self.client is not None:
            self.client.close(timeout=10)
        if self.local is not None:
            self.local.close(timeout=10)


# ---------------------------------------------------------------------------------------------
# Progress and summary


class Progress:
    """One line on a terminal (standard error), redrawn; nothing when it is not one."""

    def __init__(self, total, stream=sys.stderr):
        self.total, self.stream = total, stream
        self.live = stream.isatty()
        self.counts = {"done": 0, "skipped": 0, "failed": 0}
        self.frames = 0
        self.start = time.monotonic()
        self._drawn = 0.0

    def add(self, status, frames):
        self.counts[status] += 1
        self.frames += frames
        self.draw()

    def draw(self, force=False):
        now = time.monotonic()
        if not self.live or (not force and now - self._drawn < 0.2):
            return
        self._drawn = now
        elapsed = now - self.start
        c = self.counts
        finished = sum(c.values())
        worked = c["done"] or c["failed"]  # failures are quick: they say little of the rest
        left = "?"
        if worked:
            seconds = (self.total - finished) * elapsed / worked
            left = f"{int(seconds // 60)}:{int(seconds % 60):02d}"
        line = (f"{finished}/{self.total} clips: {c['done']} done, {c['skipped']} skipped, "
                f"{c['failed']} failed; {self.frames / max(elapsed, 1e-9):.0f} frames/s; "
                f"{left} left")
        width = shutil.get_terminal_size().columns - 1
        self.stream.write("\r" + line[:width] + "\x1b[K")
        self.stream.flush()

    def say(self, text):
        """A line of its own, above the progress line."""
        if self.live:
            self.stream.write("\r\x1b[K")
        print(text, file=self.stream, flush=True)
        self.draw(force=True)

    def clear(self):
        if self.live:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


# ---------------------------------------------------------------------------------------------
# The command


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m quillaventora.batch",
        description="Replays many clips deterministically and exports each to DIR/<relative "
                    "path>.h5, on a local Dask cluster or a running one.",
        epilog="Exit status: 0 all done or skipped, 1 some failed, 2 refused, 130 Ctrl-C.")
    whole = _positive(1)
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="a video or image file, a directory (searched recursively for "
                             "them) or @LIST (a file of inputs, one a line)")
    parser.add_argument("--out", required=True, metavar="DIR",
                        help="where the exports and manifest.jsonl go")
    parser.add_argument("--config", metavar="FILE", help="parameter file, as retina-replay's")
    parser.add_argument("--frames", type=whole, metavar="N", help="at most N frames a clip")
    fovea = parser.add_mutually_exclusive_group()
    fovea.add_argument("--fovea", choices=("model", "fixed"),
                       help="who moves the fovea centre (default: the model)")
    fovea.add_argument("--fovea-path", metavar="FILE.csv",
                       help="frame,cx,cy: a scripted fovea, as retina-replay's (every worker "
                            "must see it at this path)")
    parser.add_argument("--export-gains", action="store_true",
                        help="also /gains and /konio, frames x sensors")
    parser.add_argument("--workers", type=whole, metavar="N",
                        help="local worker processes (default: one per core)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="a running Dask scheduler instead of a local cluster")
    parser.add_argument("--retries", type=_positive(0), default=2, metavar="N",
                        help="how often a clip's task may run again after it raised or, on the "
                             "local cluster, after its worker died (a running cluster's "
                             "scheduler has its own rule for that) (default 2)")
    parser.add_argument("--force", action="store_true",
                        help="redo every clip, also those the manifest says are done")
    parser.add_argument("--fail-on-early-end", action="store_true",
                        help="a clip whose input ended before its known end (truncated or "
                             "damaged) fails, with the cause; by default it is done, and the "
                             "manifest and the closing line say where it ended")
    args = parser.parse_args(argv)
    if args.scheduler and args.workers:
        parser.error("--workers is for the local cluster; a running cluster has its own workers")
    return args


def _positive(minimum):
    def number(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number")
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{value} is below {minimum}")
        return value
    return number


def _prepare(args):
    """Everything checked before a task runs: (out_dir, jobs, clips, settings)."""
    out_dir = os.path.abspath(args.out)
    try:
        parameters = Parameters.from_toml(args.config) if args.config else Parameters()
        parameters.validate()
    except ValueError as error:
        raise Refused(str(error))
    fovea_path = fovea_path_sha256 = None
    if args.fovea_path:
        fovea_path = os.path.abspath(args.fovea_path)
        try:
            fovea_path_sha256 = file_sha256(fovea_path)
        except OSError as error:
            raise Refused(f"cannot read the fovea path '{fovea_path}': {error.strerror}")
    try:
        clips = find_clips(args.inputs, out_dir)
    except OSError as error:
        raise Refused(f"cannot read the list '{error.filename}': {error.strerror}")
    except ValueError as error:
        raise Refused(str(error))
    if not clips:
        raise Refused("no video or image files in " + " ".join(args.inputs))
    # Last: a refused batch leaves no folder behind.
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as error:
        raise Refused(f"cannot make the output folder '{out_dir}': {error.strerror}")
    settings = {
        "parameters_sha256": hashlib.sha256(parameters.to_toml().encode()).hexdigest(),
        "frame_limit": args.frames,
        "fovea": "path" if fovea_path else (args.fovea or "model"),
        "fovea_path_sha256": fovea_path_sha256,
        "export_gains": args.export_gains,
        "version": __version__,
    }
    fovea = "fixed" if args.fovea == "fixed" else None
    job = dict(parameters=parameters, frames=args.frames, fovea=fovea, fovea_path=fovea_path,
               export_gains=args.export_gains, fail_on_early_end=args.fail_on_early_end)
    return out_dir, clips, settings, job


def run(args):
    out_dir, clips, settings, job_options = _prepare(args)
    manifest_path = os.path.join(out_dir, MANIFEST_NAME)
    try:
        writer = ManifestWriter(manifest_path)
    except ManifestBusy as error:
        raise Refused(str(error))
    except OSError as error:
        raise Refused(f"cannot write '{manifest_path}': {error.strerror}")
    with writer:
        previous = {} if args.force else last_rows(read_rows(manifest_path))
        jobs, states = [], []
        for clip in clips:
            output = os.path.join(out_dir, clip.output)
            state = _input_state(clip.input)
            expected = resume_checksum(previous.get(text(clip.output)), state, settings,
                                       os.path.isfile(output), args.fail_on_early_end)
            jobs.append(ClipJob(clip.input, output, expected_sha256=expected, **job_options))
            states.append(state)
        return _run_jobs(args, clips, jobs, states, previous, settings, writer, manifest_path)


def _run_jobs(args, clips, jobs, states, previous, settings, writer, manifest_path):
    progress = Progress(len(jobs))
    cluster = Cluster(args.scheduler, args.workers or len(os.sched_getaffinity(0)), args.retries)
    futures, unfinished, ended_early = [], set(range(len(jobs))), []
    interrupted = False
    try:
        cluster.start()
        dashboard = cluster.dashboard()
        if dashboard:
            progress.say(f"batch: dashboard at {dashboard}")
        futures = cluster.client.map(run_clip, jobs, pure=False, retries=args.retries)
        index = {future.key: i for i, future in enumerate(futures)}
        arrived = queue.SimpleQueue()
        for future in futures:
            future.add_done_callback(arrived.put)
        progress.start = time.monotonic()
        while unfinished:
            try:
                future = arrived.get(timeout=1.0)
            except queue.Empty:
                progress.draw(force=True)
                continue
            i = index[future.key]
            if i not in unfinished:
                continue
            result = _outcome(future)
            unfinished.discard(i)
            row = _row(clips[i], states[i], settings, result, previous.get(text(clips[i].output)))
            writer.append(row)
            progress.add(row["status"], row["frames"] if row["status"] == "done" else 0)
            if row["input_ended_early"]:
                ended_early.append((clips[i].input, row["input_ended_early"]))
            if row["status"] == "failed":
                progress.say(f"batch: failed: {text(clips[i].input)}: {text(row['cause'])}")
            elif row["input_ended_early"]:
                progress.say(f"batch: warning: the input ended early: {text(clips[i].input)}: "
                             f"{text(row['input_ended_early'])}")
            future.release()
    except KeyboardInterrupt:
        interrupted = True
        _stop(cluster, futures, progress)
    finally:
        try:
            cluster.close()
        except KeyboardInterrupt:  # Ctrl-C while the cluster closes after the last clip
            interrupted = True
            _stop(cluster, futures, progress)
            cluster.close()
    if interrupted:  # a running cluster's clips may still run: their files are theirs
        _remove_dead_temporaries([jobs[i].output for i in unfinished],
                                 wait=5.0 if cluster.local is not None else 0.0)
    return _finish(progress, len(jobs), ended_early, manifest_path, interrupted, len(unfinished))


def _finish(progress, total, ended_early, manifest_path, interrupted, unfinished):
    """Prints the closing line (and the failures' count); returns the exit status."""
    progress.clear()
    c = progress.counts
    elapsed = time.monotonic() - progress.start
    summary = (f"batch: {c['done']} done, {c['skipped']} skipped, {c['failed']} failed of "
               f"{total} clips in {elapsed:.1f} s ({progress.frames / max(elapsed, 1e-9):.0f} "
               f"frames/s){_ended_early_text(ended_early)}; manifest: {text(manifest_path)}")
    if interrupted:
        print(summary.replace("batch:", "batch: interrupted:", 1) +
              f"; {unfinished} not finished", flush=True)
        return 130
    print(summary, flush=True)
    if c["failed"]:
        s = "" if c["failed"] == 1 else "s"
        print(f"batch: {c['failed']} clip{s} failed (status failed in the manifest, with the "
              "cause)", file=sys.stderr, flush=True)
        return 1
    return 0


def _ended_early_text(ended_early, named=3):
    """'; the input ended early in 1 clip: 'IN' (frame 64 of 270 ...)' for the closing line;
    '' when none did. The first `named` are named, the manifest's rows name all."""
    if not ended_early:
        return ""
    s = "" if len(ended_early) == 1 else "s"
    where = ", ".join(f"'{text(path)}' ({text(why)})" for path, why in ended_early[:named])
    more = len(ended_early) - named
    rest = f" and {more} more (input_ended_early in the manifest)" if more > 0 else ""
    return f"; the input ended early in {len(ended_early)} clip{s}: {where}{rest}"


def _stop(cluster, futures, progress):
    """Ctrl-C: says so and abandons the running clips; a second Ctrl-C is ignored, so that the
    clean-up runs to its end."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    progress.clear()
    print("batch: stopping: " + ("the running clips are abandoned" if cluster.local is not None else
                                 "clips not started are cancelled; running ones finish on "
                                 "their workers, without a row"),
          file=sys.stderr, flush=True)
    cluster.abandon(futures)


def _outcome(future):
    """The task's result, or a failed result when it raised after its retries or was lost."""
    if future.status == "finished":
        try:
            return future.result()
        except Exception as error:  # its worker died before the result was fetched
            return {"status": "failed", "cause": f"{type(error).__name__}: {error}"}
    if future.status == "cancelled":
        return {"status": "failed", "cause": "cancelled by the scheduler"}
    error = future.exception()
    return {"status": "failed", "cause": f"{type(error).__name__}: {error}"}


def _row(clip, state, settings, result, previous):
    skipped = result["status"] == "skipped"
    size, mtime = state if state else (None, None)
    return {
        "input": clip.input, "input_size": size, "input_mtime_ns": mtime,
        "output": clip.output, "status": result["status"], "cause": result.get("cause", ""),
        "input_ended_early": (previous if skipped else result).get("input_ended_early", ""),
        "frames": previous["frames"] if skipped else result.get("frames", 0),
        "events": previous["events"] if skipped else result.get("events", 0),
        "seconds": round(result.get("seconds", 0.0), 3),
        "worker": result.get("worker", ""), "host": result.get("host", ""),
        "output_sha256": result.get("output_sha256", ""),
        **settings, "version": result.get("version", settings["version"]),
        "finished": _now(),
    }


def _remove_dead_temporaries(outputs, wait):
    """Removes the temporary files (".retina-partial/XXXXXX/NAME.h5") beside `outputs` that no
    live process holds, waiting up to `wait` seconds for killed processes' locks to go. Each
    folder is listed once; only outputs whose folder holds ".retina-partial" go to the exact check."""
    deadline = time.monotonic() + wait
    partial = {}
    for output in outputs:
        folder = os.path.dirname(output)
        if folder not in partial:
            try:
                partial[folder] = any(_quillaventora._TEMPORARY_MARKER in e for e in os.listdir(folder))
            except OSError:
                partial[folder] = False
        if not partial[folder]:
            continue
        while (_quillaventora._clear_stale_temporaries(output) and
               time.monotonic() < deadline):
            time.sleep(0.05)


def main(argv=None):
    args = parse_arguments(argv)
    try:
        return run(args)
    except Refused as error:
        print(f"batch: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    # Run through the package's module, so that the tasks pickle as quillaventora.batch.run_clip
    # (which the workers import) and not as functions of __main__.
    from quillaventora.batch import main as _main

    sys.exit(_main())
