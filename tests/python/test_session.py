"""Session, Parameters and read_frames as a user meets them: dtypes, refusals, the layouts a
frame may come in, the lifetime of the arrays, and live sessions that end cleanly."""

import collections.abc
import gc
import os
import pathlib
import pickle
import re
import subprocess
import sys
import threading
import warnings

import numpy as np
import pandas
import pytest

import quillaventora as qv
from conftest import TIMEOUT, clip


def scene(height=120, width=160):
    """A BGR frame with edges and colour, so that sensors of every class emit."""
    rows, cols = np.mgrid[0:height, 0:width]
    frame = np.empty((height, width, 3), np.uint8)
    frame[..., 0] = (cols * 255) // width
    frame[..., 1] = (rows * 255) // height
    frame[..., 2] = np.where((rows // 20 + cols // 20) % 2 == 0, 230, 20)
    return frame


def test_results_and_retina_have_the_documented_dtypes():
    with qv.Session() as session:
        with pytest.raises(RuntimeError, match="first frame"):
            session.retina
        assert session.retina_scale is None
        r = session.step(scene())
        n = session.sensor_count
        assert n == qv.Parameters().sensor_count == 30202
        for events in (r.events, r.konio_events):
            assert events.dtype == qv.EVENT_DTYPE and events.dtype.itemsize == 24
            assert [events.dtype[f].str for f in ("t", "src", "dst", "kind", "weight")] == [
                "<f8", "<i4", "<i4", "|u1", "<f4"]
        assert (r.events["kind"][0], r.events["src"][0]) == (qv.FRAME_MARKER, -1)
        assert len(r.events) == r.events_pushed and set(r.events["kind"][1:]) <= {0, 2}
        assert len(r.konio_events) > 0 and set(r.konio_events["kind"]) == {qv.KONIO_OUTPUT}
        assert (r.canvas.dtype, r.canvas.shape) == (np.uint8, (120, 160, 3))
        for values in (r.activations, r.gains, r.konio):
            assert (values.dtype, values.shape) == (np.float32, (n,))
        retina = session.retina
        assert retina.dtype.names == ("index", "x", "y", "px", "py", "radius", "color_class",
                                      "is_spiral", "is_prime")
        assert retina.dtype == qv.RETINA_DTYPE and len(retina) == n
        assert np.array_equal(retina["index"], np.arange(n))
        assert set(np.unique(retina["radius"])) == {2, 3}
        assert set(np.unique(retina["color_class"])) == {0, 1, 2, 3}
        # the first frame's scale: diameter / 2 units span the distance to the nearest edge
        assert session.retina_scale == pytest.approx(60 / 32768)


def test_structured_arrays_save_load_and_convert_as_numpy_arrays(tmp_path):
    with qv.Session() as session:
        r = session.step(scene())
        arrays = {"events": r.events, "konio_events": r.konio_events, "retina": session.retina,
                  "tonic": qv.to_tonic(r.events, session.retina)}
    for name, array in arrays.items():
        offsets = [array.dtype.fields[f][1] for f in array.dtype.names]
        assert offsets == sorted(offsets), f"{name}: fields out of memory order"
        np.save(tmp_path / f"{name}.npy", array)
        loaded = np.load(tmp_path / f"{name}.npy")
        assert loaded.dtype == array.dtype and np.array_equal(loaded, array), name
        assert loaded.tolist() == array.tolist(), name
        table = pandas.DataFrame(array)
        assert list(table.columns) == list(array.dtype.names), name
        assert all(np.array_equal(table[f].to_numpy(), array[f]) for f in array.dtype.names), name
    np.savez(tmp_path / "all.npz", **arrays)
    with np.load(tmp_path / "all.npz") as stored:
        assert all(np.array_equal(stored[name], array) for name, array in arrays.items())
    assert qv.EVENT_DTYPE.names == ("t", "src", "dst", "weight", "kind")


@pytest.mark.parametrize("frame,error,cause", [
    ([[0, 1], [2, 3]], TypeError, "must be a NumPy array"),
    (np.zeros((8, 8, 3), np.float32), TypeError, "must be uint8"),
    (np.zeros((8, 8, 3), np.int8), TypeError, "must be uint8"),
    (np.zeros((8, 8, 3), bool), TypeError, "must be uint8"),
    (np.zeros((8, 8, 3), ">u2"), TypeError, "must be uint8"),
    (np.zeros((8, 8, 2), np.uint8), ValueError, r"not of shape \(8, 8, 2\)"),
    (np.zeros((8, 8, 3, 1), np.uint8), ValueError, "not of shape"),
    (np.zeros(8, np.uint8), ValueError, "not of shape"),
    (np.zeros((0, 8, 3), np.uint8), ValueError, "empty"),
    (np.zeros((8, 0), np.uint8), ValueError, "empty"),
])
def test_bad_frames_are_refused_with_their_cause(frame, error, cause):
    with qv.Session() as session:
        with pytest.raises(error, match=cause):
            session.step(frame)
        assert session.frames == 0  # nothing ran: the next frame is the first
        assert session.step(scene()).frame == 1


def test_a_fovea_path_off_the_first_frame_refuses_it_and_waits_for_one_it_fits(tmp_path):
    path = tmp_path / "path.csv"
    path.write_text("frame,cx,cy\n1,150,10\n")
    with qv.Session(fovea_path=path) as session:
        with pytest.raises(ValueError, match=r"^fovea_path: line 2: frame 1's centre \(150, 10\) "
                                             r"is outside the 100x80 picture$"):
            session.step(scene(80, 100))
        assert session.frames == 0
        r = session.step(scene())  # 160 x 120: the waypoint lies on it
        assert (r.frame, r.center, r.t) == (1, (150, 10), pytest.approx(1 / 30))


def test_frames_in_every_layout_give_the_canvas_of_their_bgr_equivalent():
    bgr = scene()
    grey = bgr[..., 1].copy()
    wide = np.zeros((200, 300, 3), np.uint8)
    wide[30:150, 50:210] = bgr
    layouts = [
        ("grey", grey, np.repeat(grey[..., None], 3, axis=2)),
        ("grey with a channel axis", grey[..., None], np.repeat(grey[..., None], 3, axis=2)),
        ("BGRA", np.dstack([bgr, np.full(grey.shape, 77, np.uint8)]), bgr),
        ("uint16", bgr.astype(np.uint16) * 257, bgr),
        ("crop of a larger image", wide[30:150, 50:210], bgr),
        ("every other column", np.repeat(bgr, 2, axis=1)[:, ::2], bgr),
        ("upside down", np.flipud(bgr[::-1]), bgr),
        ("Fortran order", np.asfortranarray(bgr), bgr),
    ]
    for name, frame, equivalent in layouts:
        with qv.Session() as given, qv.Session() as expected:
            for _ in range(2):  # the second frame also depends on the first one's gains
                a, b = given.step(frame), expected.step(equivalent)
            assert np.array_equal(a.canvas, b.canvas), name
            assert np.array_equal(a.events, b.events), name


def test_parameters_check_as_the_command_line_does(tmp_path):
    p = qv.Parameters()
    p.konio.decay = 0.9
    p["retina.spiral_points"] = 1024
    p.fovea.margin = np.int64(50)
    assert (p.konio.decay, p["konio.decay"], p.retina.spiral_points, p.fovea.margin) == (
        0.9, 0.9, 1024, 50)
    assert p.changed() == ["retina.spiral_points", "konio.decay", "fovea.margin"]

    # The same value in a file gives the same message, after the file's line number.
    file_message = str(pytest.raises(ValueError, qv.Parameters.from_toml_string,
                                     "[konio]\ndecay = 1.5\n").value)
    assert file_message == "line 2: konio.decay = 1.5 is out of range: it must be in [0, 1]"
    refusals = [
        (lambda: setattr(p.konio, "decay", 1.5), ValueError,
         re.escape(file_message[len("line 2: "):]) + "$"),
        (lambda: setattr(p.queue, "capacity", 0), ValueError, "queue.capacity = 0 is out of"),
        (lambda: setattr(p.konio, "decay", float("nan")), ValueError, "not a finite number"),
        (lambda: setattr(p.retina, "spiral_points", 2**80), ValueError, "out of range"),
        (lambda: setattr(p.konio, "decay", "0.9"), TypeError, "konio.decay must be a number"),
        (lambda: setattr(p.retina, "spiral_points", 4096.0), TypeError, "must be a whole num"),
        (lambda: setattr(p.retina, "spiral_points", True), TypeError, "not bool"),
        (lambda: setattr(p.konio, "decy", 0.9), AttributeError, r"did you mean konio\.decay\?"),
        (lambda: p["konio.decy"], KeyError, "did you mean"),
    ]
    for action, error, cause in refusals:
        with pytest.raises(error, match=cause):
            action()
    assert p.konio.decay == 0.9 and p.retina.spiral_points == 1024  # refusals change nothing

    # Values that only fail together are refused when a session starts.
    small = p.copy()
    small.retina.diameter = 10
    assert p.retina.diameter == 65536
    for start in (small.validate, lambda: qv.Session(small)):
        with pytest.raises(ValueError, match="retina.diameter = 10 is too small for 1024 spiral"):
            start()

    # A file and a pickle (a Dask task's) give the same parameters; the session uses them.
    path = tmp_path / "p.toml"
    path.write_text(p.to_toml())
    assert qv.Parameters.from_toml(path) == p == pickle.loads(pickle.dumps(p))
    with qv.Session(path) as session:
        assert session.sensor_count == p.sensor_count < 30202
    path.write_text("[konio]\ndecay = 0.5\nspeed = 2\n")
    with pytest.raises(ValueError, match="line 3: unknown key konio.speed"):
        qv.Session(str(path))
    with pytest.raises(TypeError, match="parameters must be"):
        qv.Session(parameters=42)


VALUES = ("canvas", "activations", "gains", "konio", "events", "konio_events")


@pytest.mark.parametrize("copy", [True, False])
def test_kept_results_stay_their_own_unless_views_are_asked_for(copy):
    frames = [scene(), np.ascontiguousarray(scene()[::-1]), np.roll(scene(), 40, axis=1)]
    with qv.Session() as session:
        results, taken = [], []
        for frame in frames:
            results.append(session.step(frame, copy=copy))
            taken.append({name: getattr(results[-1], name).copy() for name in VALUES})
        first, last = results[0], results[-1]
        for r, values in zip(results, taken):
            for name in ("events", "konio_events"):  # a frame's events are its own either way
                assert np.array_equal(getattr(r, name), values[name]), name
        for name in VALUES[:4]:
            arrays = [getattr(r, name) for r in results]
            if copy:  # [s.step(f).gains for f in frames] keeps every frame's gains
                assert all(np.array_equal(a, v[name]) for a, v in zip(arrays, taken)), name
                assert not np.array_equal(arrays[0], arrays[-1]), name
            else:  # views of the session's buffers: the last step's values
                assert all(np.shares_memory(a, arrays[-1]) for a in arrays), name
        for name in VALUES:
            array = getattr(first, name)
            assert array.flags.writeable == copy, name
            if copy:
                array.flat[0] = 0  # the caller's own: the other results are untouched
                assert np.array_equal(getattr(last, name), taken[-1][name]), name
            else:
                with pytest.raises(ValueError, match="read-only"):
                    array.flat[0] = 0


def test_parameters_are_a_mapping_of_their_keys():
    p = qv.Parameters({"konio.decay": 0.9, "retina.spiral_points": 1024})
    assert isinstance(p, collections.abc.Mapping)
    assert (p.konio.decay, p["retina.spiral_points"]) == (0.9, 1024)
    keys = p.keys()
    assert list(p) == keys and len(p) == len(keys) == len(set(keys)) > 1 and keys[0].count(".") == 1
    assert p.values() == [p[k] for k in keys] and p.items() == list(zip(keys, p.values()))
    assert p.to_dict() == dict(p) == dict(p.items())
    assert qv.Parameters(p.to_dict()) == p == qv.Parameters(p)  # read back, or copied
    assert qv.Parameters(p) is not p and qv.Parameters({}) == qv.Parameters()
    assert ("konio.decay" in p, "konio.decy" in p, 3 in p) == (True, False, False)
    assert (p.get("konio.decay"), p.get("konio.decy", "none"), p == 3) == (0.9, "none", False)
    refusals = [
        ({"konio.decy": 0.9}, KeyError, r"did you mean konio\.decay\?"),
        ({"konio.decay": "0.9"}, TypeError, "konio.decay must be a number"),
        ({"konio.decay": 1.5}, ValueError, "out of range"),
        ({1: 0.9}, TypeError, "a parameter key is a 'section.key' string, not int"),
        ([("konio.decay", 0.9)], TypeError, "takes a mapping"),
    ]
    for values, error, cause in refusals:
        with pytest.raises(error, match=cause):
            qv.Parameters(values)


@pytest.mark.parametrize("copy", [True, False])
def test_arrays_outlive_the_next_step_and_the_session(copy):
    frame = scene()
    session = qv.Session()
    first = session.step(frame, copy=copy)
    events, canvas = first.events, first.canvas
    kept = events.copy()
    for _ in range(3):
        later = session.step(frame, copy=copy)
    assert np.array_equal(events, kept)  # a frame's events are its own
    assert not np.array_equal(later.events, kept)
    gains = later.gains
    session.close()
    session.close()  # twice is fine
    with pytest.raises(RuntimeError, match="closed"):
        session.step(frame)
    del session, first, later
    gc.collect()
    # The views keep their memory: reading them after the session is gone is safe.
    assert canvas.shape == (120, 160, 3) and canvas.sum() > 0 and gains.min() > 0


@pytest.mark.parametrize("call,keyword", [
    (lambda: qv.Session(deterministic=None), "deterministic"),
    (lambda: qv.Session(deterministic=1), "deterministic"),
    (lambda: qv.Session(events="no"), "events"),
    (lambda: qv.Session().step(scene(), copy=None), "copy"),
])
def test_flags_take_true_or_false_only(call, keyword):
    with pytest.raises(TypeError, match=f"^{keyword} must be True or False, not "):
        call()
    with qv.Session(deterministic=np.bool_(True), events=True) as session:  # NumPy's bool is one
        assert session.deterministic and session.step(scene(), copy=np.False_).frame == 1


def task_count():
    return len(os.listdir("/proc/self/task"))


def resident_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def test_live_sessions_step_and_close_without_a_leak_or_a_hang():
    frame = scene()
    threads = task_count()
    with qv.Session(deterministic=False) as session:
        assert task_count() == threads + 1  # the model's worker
        for number in range(1, 21):
            r = session.step(frame)
            assert r.frame == number and r.events["kind"][0] == qv.FRAME_MARKER
            assert len(r.events) == r.events_pushed
            assert set(r.events["kind"][1:]) <= {0, 2}
            assert set(r.konio_events["kind"]) <= {qv.KONIO_OUTPUT}
    assert task_count() == threads  # joined on leaving the block

    def run(sessions):
        for _ in range(sessions):
            with qv.Session(deterministic=False) as s:
                for _ in range(3):
                    s.step(frame)
        gc.collect()
    run(3)
    before = resident_mib()
    run(15)
    # A session that leaked its retina, model and buffers would hold some 5 MiB.
    assert resident_mib() - before < 30
    assert task_count() == threads


# Scripts that end while the module is busy or has had something to say; argv[1] a folder,
# argv[2] a clip.
ENDINGS = {
    "a thread inside Session.step": """
import threading, numpy as np, quillaventora as qv
session, stepped = qv.Session(), threading.Event()
def steps():
    while True:
        session.step(np.zeros((240, 320, 3), np.uint8))
        stepped.set()
threading.Thread(target=steps, daemon=True).start()
stepped.wait()
""",
    "a thread inside read_frames": """
import sys, threading, quillaventora as qv
started = threading.Event()
def reads():
    while True:
        for _ in qv.read_frames(sys.argv[2]):
            started.set()
threading.Thread(target=reads, daemon=True).start()
started.wait()
""",
    # Stopped before its next frame, as SIGTERM stops retina-replay: its export says so.
    "a thread inside export_clip": """
import os, sys, threading, time, quillaventora as qv
output = os.path.join(sys.argv[1], "clip.h5")
threading.Thread(target=qv.export_clip, args=(sys.argv[2], output), daemon=True).start()
deadline = time.monotonic() + 60
while not any(qv._quillaventora._TEMPORARY_MARKER in n for n in os.listdir(sys.argv[1])):
    assert time.monotonic() < deadline, "the export never started"
    time.sleep(0.01)
""",
    # Still waiting for a stream that stalls: the wait, too, ends at the exit.
    "a thread inside export_clip on a stalled stream": """
import os, sys, threading, time, quillaventora as qv
stream = os.path.join(sys.argv[1], "stream.avi")
os.mkfifo(stream)
output = os.path.join(sys.argv[1], "clip.h5")
threading.Thread(target=qv.export_clip, args=(stream, output), daemon=True).start()
with open(sys.argv[2], "rb") as clip:
    head = clip.read(1 << 20)
writer = open(stream, "wb")  # held open and never written again
writer.write(head)
writer.flush()
def reading_the_pipe():  # a thread of this process waits in the kernel for the pipe's next bytes
    tasks = f"/proc/{os.getpid()}/task"
    for task in os.listdir(tasks):
        try:
            with open(f"{tasks}/{task}/wchan") as wchan:
                if "pipe" in wchan.read():
                    return True
        except OSError:
            pass
    return False
deadline = time.monotonic() + 60  # where the kernel hides wchan, the exit comes mid-stream
while not reading_the_pipe() and time.monotonic() < deadline:
    time.sleep(0.01)
""",
    "an image probed that is not there": """
import os, sys, quillaventora as qv
try:
    qv.read_frames(os.path.join(sys.argv[1], "missing.png"))
except ValueError:
    pass
""",
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_the_interpreter_ends_normally_and_stderr_holds_only_python(tmp_path, ending):
    done = subprocess.run([sys.executable, "-c", ENDINGS[ending], str(tmp_path), clip("vtest.avi")],
                          capture_output=True, text=True, timeout=TIMEOUT)
    # No "terminate called without an active exception" (status 134), no OpenCV "[ WARN:0@...",
    # no crash as the libraries' static objects go under a running export (status -11).
    assert (done.returncode, done.stderr) == (0, "")
    if "export_clip" in ending:
        assert not (tmp_path / qv._quillaventora._TEMPORARY_MARKER).exists()  # nothing left
        # The exit may come while the layout is built, before any frame: then nothing is
        # written. Past a stream's first frames it always comes after some.
        if "stalled" in ending or (tmp_path / "clip.h5").exists():
            attributes = qv.read_export(tmp_path / "clip.h5").attrs
            assert (attributes["end_reason"], attributes["completed"]) == ("signal SIGTERM", 0)


def test_one_session_stepped_from_two_threads_counts_every_frame_once():
    frame = scene()
    numbers = []
    with qv.Session() as session:
        def steps():
            for _ in range(10):
                numbers.append(session.step(frame).frame)
        workers = [threading.Thread(target=steps) for _ in range(2)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert session.frames == 20
        assert sorted(numbers) == list(range(1, 21))  # each step reports its own frame
        assert session.queue_stats()["batches"] == 20  # one model step per frame, none lost


def test_read_frames_decodes_as_the_replay_and_refuses_with_its_messages(tmp_path):
    video = clip("Megamind.avi")
    with qv.read_frames(video, limit=4) as reader:
        frames = list(reader)
        assert (reader.expected_frames, reader.frames_read) == (4, 4)
        assert reader.frames_per_second == pytest.approx(23.976, abs=0.01)
    assert len(frames) == 4 and frames[0].shape == (reader.size[1], reader.size[0], 3)
    assert not np.array_equal(frames[0], frames[3])
    refusals = [
        (tmp_path / "missing.avi", "cannot open video .*No such file or directory"),
        (tmp_path, "is a directory"),
    ]
    (tmp_path / "bad.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    refusals.append((tmp_path / "bad.png", "cannot read image .*does not decode"))
    for path, cause in refusals:
        with pytest.raises(ValueError, match=cause):
            qv.read_frames(path)
    with pytest.raises(ValueError, match="limit must be at least 1"):
        qv.read_frames(video, limit=0)


def write_ppm(path, height=200, width=200):
    """A flat colour frame as a binary PPM, which the frame reader decodes like any image."""
    header = f"P6\n{width} {height}\n255\n".encode()
    path.write_bytes(header + bytes([200, 90, 0]) * (height * width))


def cut_clip(folder):
    """Megamind.avi's first third: its container still says 270 frames."""
    whole = pathlib.Path(clip("Megamind.avi")).read_bytes()
    (folder / "cut.avi").write_bytes(whole[:len(whole) // 3])
    return folder / "cut.avi", r"frame (\d+) of 270 does not decode"


def sequence_with_a_gap(folder):
    for number in (1, 2, 4, 5):
        write_ppm(folder / f"img_{number:03d}.ppm")
    return folder / "img_%03d.ppm", r"frame (3): 'img_003.ppm' is missing"


@pytest.mark.parametrize("make", [cut_clip, sequence_with_a_gap])
def test_read_frames_says_where_an_input_ended_early(tmp_path, make):
    path, cause = make(tmp_path)
    with pytest.warns(qv.InputEndedEarly, match="the input ended early: " + cause) as said:
        frames = list(qv.read_frames(path))
    assert issubclass(qv.InputEndedEarly, RuntimeWarning) and len(said) == 1
    warning = said[0].message
    assert warning.frame == len(frames) + 1 == int(re.search(cause, warning.cause).group(1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a whole input, or one cut by the limit, says nothing
        assert len(list(qv.read_frames(path, limit=2))) == 2
        assert len(list(qv.read_frames(clip("Megamind.avi")))) == 270
