"""The batch command on real Dask clusters on 127.0.0.1: outputs equal to retina-replay's, the
manifest, the resume, a killed worker, Ctrl-C; and the manifest and resume rules alone."""

import dataclasses
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

import h5py
import numpy as np
import psutil
import pytest

import quillaventora as qv
from conftest import TIMEOUT, clip, contents, run_replay
from quillaventora import batch
from quillaventora.batch import file_sha256 as sha256
from quillaventora.manifest import ManifestBusy, ManifestWriter, read_rows

pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

FRAMES = 6
# Root attributes that differ between two runs of the same clip: the wall-clock start and the
# command that made the file (another program, another output path).
DIFFERING = {"/@start_time", "/@command_line"}


def assert_same_export(reference, made):
    a, b = contents(reference), contents(made)
    assert a.keys() == b.keys()
    different = [k for k in a if k not in DIFFERING and not np.array_equal(a[k], b[k])]
    assert not different, f"{made} differs from {reference} in {different}"


def replay_export(replay, source, output, frames=FRAMES):
    kind = "image" if source.endswith(".jpg") else "video"
    run_replay(replay, f"--{kind}", source, "--frames", frames, "--export", output)


def hidden_files(folder):
    """Every file under `folder` that is hidden or in a hidden folder (a run's ".retina-partial")."""
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names
            if any(part.startswith(".") for part in
                   os.path.relpath(os.path.join(d, n), folder).split(os.sep))]


def temporary_open_in(pid, folder):
    """The path, under `folder`, of a hidden file or one in a hidden folder there that process
    `pid` holds open, or None."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return None
    for fd in fds:
        try:
            path = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        relative = os.path.relpath(path, folder)
        if relative.startswith(".") and not relative.startswith(".." + os.sep):
            return relative
    return None


def batch_command(*args):
    return [sys.executable, "-m", "quillaventora.batch", *map(str, args)]


def run_batch(*args):
    return subprocess.run(batch_command(*args), capture_output=True, text=True, timeout=TIMEOUT)


def stop(processes):
    for p in processes:
        if p.poll() is None:
            p.terminate()
    for p in processes:
        try:
            p.wait(timeout=15)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def scheduler_address(scheduler, scheduler_file, log, seconds=60):
    """The address in the file the scheduler writes once it listens. The file may exist before
    its content is whole; a scheduler that has ended fails the test with its output."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            return json.loads(scheduler_file.read_text())["address"]
        except (FileNotFoundError, ValueError):  # not written yet, or half written
            pass
        if scheduler.poll() is not None:
            pytest.fail(f"the scheduler ended with status {scheduler.returncode}: "
                        f"{log.read_text()}")
        if time.monotonic() > deadline:
            pytest.fail(f"no scheduler address after {seconds} s: {log.read_text()}")
        time.sleep(0.1)


@pytest.fixture
def cluster(tmp_path):
    """A scheduler and two workers started with Dask's own commands, on 127.0.0.1."""
    from distributed import Client

    scheduler_file = tmp_path / "scheduler.json"
    log = open(tmp_path / "dask.log", "w")
    processes = []

    def dask(*args):
        processes.append(subprocess.Popen([sys.executable, "-m", "dask", *map(str, args)],
                                          stdout=log, stderr=log, start_new_session=True))
        return processes[-1]
    try:
        scheduler = dask("scheduler", "--host", "127.0.0.1", "--port", "0",
                         "--dashboard-address", "127.0.0.1:0", "--scheduler-file", scheduler_file)
        address = scheduler_address(scheduler, scheduler_file, tmp_path / "dask.log")
        for _ in range(2):
            dask("worker", address, "--nthreads", 1, "--no-nanny", "--host", "127.0.0.1",
                 "--no-dashboard", "--local-directory", tmp_path / "dask")
        with Client(address, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            workers = list(client.scheduler_info()["workers"])
        yield SimpleNamespace(address=address, workers=workers)
    finally:
        stop(processes)
        log.close()


@pytest.fixture
def clips(tmp_path):
    """Four clips from opencv-doc: two videos, a photograph below a subfolder, a broken file."""
    folder = tmp_path / "clips"
    (folder / "sub").mkdir(parents=True)
    shutil.copy(clip("Megamind.avi"), folder / "megamind.avi")
    shutil.copy(clip("vtest.avi"), folder / "sub" / "vtest.avi")
    shutil.copy(clip("building.jpg"), folder / "sub" / "building.jpg")
    (folder / "broken.avi").write_bytes(bytes(range(256)) * 64)
    return folder


def test_batch_on_a_cluster_equals_retina_replay_and_resumes(replay, tmp_path, clips, cluster):
    out = tmp_path / "out"
    first = run_batch(clips, "--out", out, "--frames", FRAMES, "--scheduler", cluster.address)
    assert first.returncode == 1, first.stderr
    assert "broken.avi: cannot open video" in first.stderr
    assert "1 clip failed" in first.stderr

    rows = read_rows(out / "manifest.jsonl")
    by_output = {row["output"]: row for row in rows}
    assert len(rows) == 4 and sorted(by_output) == [
        "broken.avi.h5", "megamind.avi.h5", "sub/building.jpg.h5", "sub/vtest.avi.h5"]
    broken = by_output.pop("broken.avi.h5")
    assert broken["status"] == "failed" and "not a video" in broken["cause"]
    assert not (out / "broken.avi.h5").exists()
    parameters = hashlib.sha256(qv.Parameters().to_toml().encode()).hexdigest()
    for name, row in by_output.items():
        made = out / name
        assert row["status"] == "done" and row["frames"] == FRAMES, row
        assert row["input"] == str(clips / name[:-3])
        assert row["input_size"] == os.path.getsize(row["input"])
        assert row["output_sha256"] == sha256(made)
        assert row["parameters_sha256"] == parameters and row["version"] == qv.__version__
        assert row["worker"] in cluster.workers
        reference = tmp_path / f"reference-{made.name}"
        replay_export(replay, row["input"], reference)
        assert_same_export(reference, made)
        assert row["events"] == len(h5py.File(made, "r")["events/t"])

    # Again: the three done clips are skipped (not rewritten), the broken one fails again.
    written = {name: os.stat(out / name).st_mtime_ns for name in by_output}
    second = run_batch(clips, "--out", out, "--frames", FRAMES, "--scheduler", cluster.address)
    assert second.returncode == 1, second.stderr
    again = read_rows(out / "manifest.jsonl")
    assert again[:4] == rows
    assert {row["output"]: row["status"] for row in again[4:]} == {
        "broken.avi.h5": "failed", "megamind.avi.h5": "skipped",
        "sub/building.jpg.h5": "skipped", "sub/vtest.avi.h5": "skipped"}
    assert written == {name: os.stat(out / name).st_mtime_ns for name in by_output}
    assert "3 skipped, 1 failed of 4 clips" in second.stdout
    assert not hidden_files(out)


def test_a_killed_worker_costs_only_its_clip(replay, tmp_path):
    folder, out = tmp_path / "clips", tmp_path / "out"
    folder.mkdir()
    names = [f"clip{i}.avi" for i in range(4)]
    for name in names:
        shutil.copy(clip("Megamind.avi"), folder / name)
    frames = 60
    running = subprocess.Popen(batch_command(folder, "--out", out, "--frames", frames,
                                             "--workers", 2),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Kill a worker process while it writes a clip: the hidden temporary file open in it.
        victim, deadline = None, time.monotonic() + 60
        while victim is None and time.monotonic() < deadline and running.poll() is None:
            for worker in psutil.Process(running.pid).children():
                if temporary_open_in(worker.pid, out):
                    victim = worker
                    break
            time.sleep(0.01)
        assert victim, "no worker was seen writing a clip"
        victim.kill()
        stdout, stderr = running.communicate(timeout=TIMEOUT)
    finally:
        stop([running])
    assert running.returncode == 0, stderr
    rows = read_rows(out / "manifest.jsonl")
    assert sorted(row["output"] for row in rows) == [f"{n}.h5" for n in names]
    assert all(row["status"] == "done" and row["frames"] == frames for row in rows)
    for name in names:
        reference = tmp_path / f"reference-{name}.h5"
        replay_export(replay, str(folder / name), reference, frames=frames)
        assert_same_export(reference, out / f"{name}.h5")
    assert not hidden_files(out)


def test_ctrl_c_stops_a_local_batch_without_partial_files(tmp_path):
    folder, out = tmp_path / "clips", tmp_path / "out"
    folder.mkdir()
    for i in range(6):
        shutil.copy(clip("vtest.avi"), folder / f"clip{i}.avi")
    # As a terminal's Ctrl-C: SIGINT to the whole process group, workers included.
    running = subprocess.Popen(batch_command(folder, "--out", out, "--workers", 2, "--frames", 150),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 90
        while not (read_rows(out / "manifest.jsonl") and hidden_files(out)):
            assert time.monotonic() < deadline, "no clip finished while others ran"
            time.sleep(0.02)
        workers = psutil.Process(running.pid).children(recursive=True)
        os.killpg(running.pid, signal.SIGINT)
        stdout, stderr = running.communicate(timeout=60)
    finally:
        stop([running])
    assert running.returncode == 130, stderr
    assert "interrupted" in stdout and "Traceback" not in stderr
    rows = read_rows(out / "manifest.jsonl")
    assert rows and all(row["status"] == "done" for row in rows)
    assert all(row["output_sha256"] == sha256(out / row["output"]) for row in rows)
    # No partial file: every output there is whole (one finished as the batch was stopped
    # may have no row yet), and no temporary file is left.
    outputs = [name for name in os.listdir(out) if name != "manifest.jsonl"]
    assert not hidden_files(out) and {row["output"] for row in rows} <= set(outputs)
    for name in outputs:
        with h5py.File(out / name, "r") as f:
            assert f.attrs["completed"] == 1 and len(f["frames/frame"]) == 150, name
    _, alive = psutil.wait_procs(workers, timeout=10)  # a helper may take a moment to see it
    assert not [p for p in alive if p.status() != psutil.STATUS_ZOMBIE]


def test_damaged_inputs_and_names_that_are_not_utf8(tmp_path):
    folder, out = tmp_path / "clips", tmp_path / "out"
    folder.mkdir()
    with open(clip("vtest.avi"), "rb") as whole:  # its container says 795 frames
        (folder / "cut.avi").write_bytes(whole.read(300_000))
    name = os.fsdecode(b"caf\xe9.jpg")  # Latin-1, as an old camera or archive names files
    shutil.copy(clip("building.jpg"), folder / name)
    command = [folder, "--out", out, "--frames", 30, "--workers", 1]

    first = run_batch(*command)
    assert first.returncode == 0, first.stderr
    rows = {row["output"]: row for row in read_rows(out / "manifest.jsonl")}
    cut, latin = rows["cut.avi.h5"], rows["caf\\xe9.jpg.h5"]  # valid UTF-8, every line
    assert cut["status"] == "done" and cut["frames"] == 16, cut
    assert cut["input_ended_early"].startswith("frame 17 of 795 does not decode")
    assert f"the input ended early in 1 clip: '{folder}/cut.avi' (frame 17 of 795" in first.stdout
    assert (latin["status"], latin["input_ended_early"]) == ("done", "")
    assert latin["input"] == f"{folder}/caf\\xe9.jpg"
    assert latin["output_sha256"] == sha256(out / f"{name}.h5")

    # Told that an early end is a failure: the damaged clip is redone and fails with the cause;
    # the other is still known by its row and skipped.
    second = run_batch(*command, "--fail-on-early-end")
    assert second.returncode == 1, second.stderr
    again = {row["output"]: row for row in read_rows(out / "manifest.jsonl")[2:]}
    assert again["cut.avi.h5"]["status"] == "failed"
    assert again["cut.avi.h5"]["cause"].startswith("the input ended early: frame 17 of 795")
    assert again["caf\\xe9.jpg.h5"]["status"] == "skipped"
    assert "batch: 1 clip failed" in second.stderr


def test_a_refused_batch_starts_nothing_and_makes_no_output_folder(tmp_path, capsys,
                                                                   monkeypatch):
    def no_cluster(*args):
        raise AssertionError("a refused batch started a cluster")
    monkeypatch.setattr(batch, "Cluster", no_cluster)
    (tmp_path / "empty").mkdir()
    (tmp_path / "bad.toml").write_text("[konio]\ndecy = 0.9\n")
    (tmp_path / "list.txt").write_text(f"{clip('building.jpg')}\n{tmp_path}/gone.avi\n")
    for arguments, cause in [
        ([tmp_path / "empty"], "no video or image files in"),
        ([clip("building.jpg"), "--config", tmp_path / "bad.toml"], "unknown key konio.decy"),
        ([clip("building.jpg"), tmp_path / "clpis"], f"the input '{tmp_path}/clpis': No such"),
        ([f"@{tmp_path}/list.txt"], f"the input '{tmp_path}/gone.avi': No such file"),
    ]:
        out = tmp_path / "out" / "sub"
        assert batch.main([*map(str, arguments), "--out", str(out)]) == 2
        assert cause in capsys.readouterr().err
        assert not (tmp_path / "out").exists()


def test_ctrl_c_as_the_cluster_closes_ends_as_an_interrupted_batch(tmp_path, monkeypatch, capsys):
    class Closing:
        """A cluster with nothing to run whose first close() is cut by Ctrl-C."""
        local, closes = None, 0
        client = SimpleNamespace(map=lambda *args, **kwargs: [])

        def __init__(self, *args):
            pass

        def start(self):
            pass

        def dashboard(self):
            return None

        def abandon(self, futures):
            pass

        def close(self):
            Closing.closes += 1
            if Closing.closes == 1:
                raise KeyboardInterrupt

    monkeypatch.setattr(batch, "Cluster", Closing)
    previous = signal.getsignal(signal.SIGINT)
    args = SimpleNamespace(scheduler=None, workers=1, retries=0)
    try:
        with ManifestWriter(tmp_path / "manifest.jsonl") as writer:
            status = batch._run_jobs(args, [], [], [], {}, {}, writer, "manifest.jsonl")
    finally:
        signal.signal(signal.SIGINT, previous)
    assert (status, Closing.closes) == (130, 2)
    assert "batch: interrupted:" in capsys.readouterr().out


def test_manifest_keeps_every_finished_row(tmp_path):
    path = tmp_path / "manifest.jsonl"
    appender = ("import sys\nfrom quillaventora.manifest import ManifestWriter\n"
                "w = ManifestWriter(sys.argv[1])\n"
                "for i in range(10**9): w.append({'output': f'{i}.h5', 'n': i, 'pad': 'x' * 4000})")
    writing = subprocess.Popen([sys.executable, "-c", appender, str(path)])
    try:
        deadline = time.monotonic() + TIMEOUT
        while (not path.exists() or path.stat().st_size < 400_000) and writing.poll() is None:
            assert time.monotonic() < deadline, "the appender wrote under 400 kB in time"
            time.sleep(0.01)
    finally:
        writing.kill()
        writing.wait()
    rows = read_rows(path)
    assert len(rows) >= 100 and [row["n"] for row in rows] == list(range(len(rows)))

    # What a kill inside a write or a full disk leaves: a torn last line. Readers skip it; the
    # next batch's rows start on a line of their own.
    with open(path, "ab") as f:
        f.write(b'{"output": "torn.h5", "n": ')
    assert read_rows(path) == rows
    with ManifestWriter(path) as writer:
        writer.append({"output": "next.h5", "n": -1})
        with pytest.raises(ManifestBusy):  # a second batch on the same folder meanwhile
            ManifestWriter(path)
    assert read_rows(path) == rows + [{"output": "next.h5", "n": -1}]


SETTINGS = {"parameters_sha256": "p", "frame_limit": 6, "fovea": "model",
            "fovea_path_sha256": None, "export_gains": False, "version": qv.__version__}
DONE = {"status": "done", "input_size": 10, "input_mtime_ns": 5, "output_sha256": "s",
        **SETTINGS}


@pytest.mark.parametrize("row,state,output_exists,skip", [
    (DONE, (10, 5), True, True),
    ({**DONE, "status": "skipped"}, (10, 5), True, True),
    ({**DONE, "status": "failed"}, (10, 5), True, False),
    (DONE, (10, 6), True, False),  # the input replaced by a file of the same size
    (DONE, (11, 5), True, False),
    (DONE, None, True, False),  # the input is gone
    (DONE, (10, 5), False, False),  # the output is gone
    ({**DONE, "parameters_sha256": "q"}, (10, 5), True, False),
    ({**DONE, "frame_limit": None}, (10, 5), True, False),
    ({**DONE, "fovea": "fixed"}, (10, 5), True, False),
    ({**DONE, "export_gains": True}, (10, 5), True, False),
    ({**DONE, "version": "0.0.1"}, (10, 5), True, False),
    (None, (10, 5), True, False),
])
def test_resume_skips_only_a_clip_whose_row_still_holds(row, state, output_exists, skip):
    expected = batch.resume_checksum(row, state, SETTINGS, output_exists)
    assert expected == ("s" if skip else None)


def test_a_changed_output_is_made_again(tmp_path):
    output = tmp_path / "out" / "building.jpg.h5"
    job = batch.ClipJob(clip("building.jpg"), str(output), qv.Parameters(), frames=2)
    made = batch.run_clip(job)
    assert made["status"] == "done" and made["output_sha256"] == sha256(output)
    unchanged = dataclasses.replace(job, expected_sha256=made["output_sha256"])
    assert batch.run_clip(unchanged)["status"] == "skipped"
    with open(output, "r+b") as f:  # one bit of the last byte
        f.seek(-1, os.SEEK_END)
        last = f.read(1)[0]
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last ^ 1]))
    again = batch.run_clip(unchanged)
    assert again["status"] == "done" and again["output_sha256"] == sha256(output)
