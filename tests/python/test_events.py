"""to_tonic and to_xytp, by dtype and value, on events whose answers are known by hand."""

import os
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pytest

import quillaventora as qv
from conftest import TIMEOUT, clip

T1, T2 = 1 / 30, 2 / 30


def retina(sensors=4):
    """Sensors 0..3 of colour classes 0..3, 2 pixels apart to the right of the centre."""
    r = np.zeros(sensors, qv.RETINA_DTYPE)
    r["index"] = np.arange(sensors)
    r["px"][:4] = [0, 2, 4, -3]
    r["py"][:4] = [0, -1, 1, 0]
    r["color_class"][:4] = [0, 1, 2, 3]
    return r


def events(rows):
    e = np.zeros(len(rows), qv.EVENT_DTYPE)
    for i, (t, src, kind) in enumerate(rows):
        e[i] = (t, src, src, 0.5, kind)
    return e


FRAME = events([(T1, -1, qv.FRAME_MARKER), (T1, 0, qv.PHOTORECEPTOR), (T1, 1, qv.PHOTORECEPTOR),
                (T1, 1, qv.KONIO_INPUT), (T1, 2, qv.PHOTORECEPTOR), (T1, 3, qv.PHOTORECEPTOR),
                (T2, -1, qv.FRAME_MARKER), (T2, 2, qv.KONIO_OUTPUT), (T2, 3, qv.PHOTORECEPTOR)])


def test_to_tonic_gives_sensor_time_and_the_documented_polarity():
    out = qv.to_tonic(FRAME, retina())
    assert out.dtype == np.dtype([("x", "<i2"), ("t", "<i8"), ("p", "i1")])
    assert out["x"].tolist() == [0, 1, 1, 2, 3, 2, 3]  # markers left out, order kept
    assert out["t"].tolist() == [33333] * 5 + [66667] * 2  # microseconds, rounded
    # colour class for a photoreceptor event, 4 for a Konio input, 5 for a Konio output
    assert out["p"].tolist() == [0, 1, 4, 2, 3, 5, 3]
    assert qv.POLARITY_CODES["konio_output"] == 5 == qv.TONIC_POLARITIES - 1

    plain = qv.to_tonic(FRAME, retina(), polarity="bool")
    assert plain.dtype["p"] == bool and plain["p"].all()
    assert qv.to_tonic(FRAME, retina(40000)).dtype["x"] == np.int32  # beyond int16's sensors


@pytest.mark.parametrize("rows,cause", [
    ([(T1, 4, qv.PHOTORECEPTOR)], "outside the retina's 4 sensors"),
    ([(T1, -2, qv.PHOTORECEPTOR)], "outside the retina"),
    ([(T1, 0, 7)], "unknown event kind 7"),
])
def test_conversions_refuse_events_that_do_not_fit_the_retina(rows, cause):
    for convert in (lambda e: qv.to_tonic(e, retina()), lambda e: qv.to_xytp(e, retina(), (5, 5))):
        with pytest.raises(ValueError, match=cause):
            convert(events(rows))
    with pytest.raises(ValueError, match="polarity must be"):
        qv.to_tonic(FRAME, retina(), polarity="on")


def test_to_xytp_places_each_sensor_around_its_frames_centre():
    one = qv.to_xytp(FRAME[:6], retina(), (10, 20))
    assert one.dtype == np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])
    assert list(zip(one["x"].tolist(), one["y"].tolist())) == [
        (10, 20), (12, 19), (12, 19), (14, 21), (7, 20)]

    # Per frame by time: the second frame's events around its own centre.
    frames = np.zeros(2, qv.FRAME_DTYPE)
    frames["t"] = [T1, T2]
    frames["sampled_cx"], frames["sampled_cy"] = [10, 100], [20, 200]
    frames["fovea_cx"], frames["fovea_cy"] = [11, 111], [22, 222]  # drawn later: not the pixels
    both = qv.to_xytp(FRAME, retina(), frames)
    assert list(zip(both["x"].tolist(), both["y"].tolist()))[-2:] == [(104, 201), (97, 200)]
    assert both["t"].tolist()[-2:] == [66667, 66667]

    early = events([(0.0, 0, qv.PHOTORECEPTOR)])
    with pytest.raises(ValueError, match="older than the first frame"):
        qv.to_xytp(early, retina(), frames)
    with pytest.raises(ValueError, match="has no sampled_cx, sampled_cy"):
        qv.to_xytp(FRAME, retina(), frames[["t", "fovea_cx", "fovea_cy"]])


@pytest.mark.parametrize("centre,size,kept,message", [
    ((2, 0), None, [(2, 0), (6, 1)], "3 of 5 events lie off the picture"),  # left of or above
    ((10, 20), (12, 21), [(10, 20), (7, 20)], "3 of 5 events lie off the 12x21 picture"),
])
def test_to_xytp_leaves_out_events_off_the_picture_and_says_how_many(centre, size, kept, message):
    with pytest.warns(qv.EventsOffPicture, match=message) as said:
        edge = qv.to_xytp(FRAME[:6], retina(), centre, size=size)
    assert list(zip(edge["x"].tolist(), edge["y"].tolist())) == kept
    assert [w.message.count for w in said] == [3]


def colour_response(pixels, classes):
    """What a sensor of each class samples from its BGR pixel, in single precision."""
    pixels = pixels.astype(np.float32)
    channel = {0: 0, 1: 2, 2: 1}  # albastru reads blue, rosu red, verde green
    out = pixels.sum(axis=1) / np.float32(765)  # alb_negru: the three together
    for colour, c in channel.items():
        out = np.where(classes == colour, pixels[:, c] / np.float32(255), out)
    return out.astype(np.float32)


def test_every_photoreceptor_event_maps_to_the_pixel_it_sampled():
    moved = mapped = 0
    with qv.Session() as session, warnings.catch_warnings():
        warnings.simplefilter("error", qv.EventsOffPicture)  # none may be lost
        for frame in qv.read_frames(clip("Megamind.avi"), limit=8):
            r = session.step(frame)
            moved += r.center != r.sampled_center
            photo = r.events[r.events["kind"] == qv.PHOTORECEPTOR]
            xytp = qv.to_xytp(photo, session.retina, r)
            assert len(xytp) == len(photo)
            mapped += len(photo)
            classes = session.retina["color_class"][photo["src"]]
            sampled = colour_response(frame[xytp["y"], xytp["x"]], classes)
            assert np.array_equal(sampled, r.activations[photo["src"]]), f"frame {r.frame}"
    assert mapped > 100000  # the first frame, dark, emits nothing; the others some 20000 each
    assert moved > 0  # the model moved the centre after sampling: drawn and sampled differ


def test_the_readme_example_steps_plots_and_converts(tmp_path):
    example = pathlib.Path(__file__).parents[2] / "docs" / "python_example.py"
    figure = tmp_path / "figure.png"
    done = subprocess.run([sys.executable, str(example), clip("Megamind.avi"), str(figure), "12"],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert "frame 10 as Tonic events:" in done.stdout and "sensor_size (30202, 1, 6)" in done.stdout
    assert f"{figure}: 12 frames," in done.stdout
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and figure.stat().st_size > 10000
    assert os.listdir(tmp_path) == ["figure.png"]  # written whole under a hidden name, renamed

    short = subprocess.run([sys.executable, str(example), clip("Megamind.avi"),
                            str(tmp_path / "short.png"), "5"],
                           capture_output=True, text=True, timeout=TIMEOUT)
    assert (short.returncode, short.stderr.count("\n")) == (1, 1), short.stderr
    assert "5 frames; the example converts the tenth" in short.stderr
    assert os.listdir(tmp_path) == ["figure.png"]


@pytest.fixture(scope="module")
def megamind_export(tmp_path_factory):
    """The export of all of Megamind.avi (270 frames, some 200 MiB of events once read)."""
    path = tmp_path_factory.mktemp("export") / "megamind.h5"
    qv.export_clip(clip("Megamind.avi"), path)
    return path


READ_ONE_FRAME = """
import sys, h5py, quillaventora as qv

def kib(key):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(key + ":"))

before = kib("VmRSS")
with qv.read_export(sys.argv[1]) as export:
    events, konio_events = export.frame_events(-1)
    assert len(events) > 10000, len(events)
print((kib("VmHWM") - before) / 1024)
"""


def test_reading_one_frame_reads_that_frame_only(megamind_export):
    done = subprocess.run([sys.executable, "-c", READ_ONE_FRAME, str(megamind_export)],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) < 40  # MiB; reading the events whole takes some 200


def test_frames_are_found_by_the_exports_numbers(megamind_export):
    with qv.read_export(megamind_export) as export:
        count = export.frame_count
        assert count == len(export.frames) == 270 and export.frames["frame"][-1] == count
        whole = {name: getattr(export, name)
                 for name in ("events", "event_frames", "konio_events", "konio_event_frames")}
        for frame, number in [(1, 1), (np.int64(135), 135), (count, count), (-1, count),
                              (-count, 1)]:
            events, konio_events = export.frame_events(frame)
            assert np.array_equal(events, whole["events"][whole["event_frames"] == number])
            assert np.array_equal(konio_events,
                                  whole["konio_events"][whole["konio_event_frames"] == number])
        events, konio_events = export.frame_range_events(2, -2)
        assert np.array_equal(events, whole["events"][(whole["event_frames"] >= 2)
                                                      & (whole["event_frames"] < count)])
        assert len(konio_events) == np.count_nonzero((whole["konio_event_frames"] >= 2)
                                                     & (whole["konio_event_frames"] < count))
        assert [len(e) for e in export.frame_range_events(3, 2)] == [0, 0]
        for frame, error in [(0, IndexError), (count + 1, IndexError), (-count - 1, IndexError),
                             (1.5, TypeError), ("2", TypeError), (True, TypeError)]:
            with pytest.raises(error, match="frame "):
                export.frame_events(frame)
    assert export.closed and len(export.events) == len(whole["events"])  # read parts stay
    with pytest.raises(ValueError, match="is closed"):
        export.retina
