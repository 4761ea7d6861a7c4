"""The module against retina-replay: the same frames give the same canvases and events, bit for
bit, and export_clip writes the command line's export."""

import numpy as np
import pytest

import quillaventora as qv
from conftest import clip, contents, run_replay

FRAMES = 3


@pytest.mark.parametrize("source,name", [("video", "Megamind.avi"), ("image", "building.jpg")])
def test_session_and_export_clip_equal_the_command_line(replay, tmp_path, source, name):
    path = clip(name)
    shots = [f"{i}:{tmp_path}/frame{i}.png" for i in range(1, FRAMES + 1)]
    cli_export = tmp_path / "cli.h5"
    run_replay(replay, f"--{source}", path, "--frames", FRAMES, "--export", cli_export,
               *[a for s in shots for a in ("--snapshot", s)])

    frames = list(qv.read_frames(path, limit=FRAMES))
    if source == "image":
        assert len(frames) == 1  # a still image is one frame; retina-replay shows it again
        frames *= FRAMES
    exported = qv.read_export(cli_export)
    assert len(exported.frames) == FRAMES
    with qv.Session() as session:
        for number, frame in enumerate(frames, start=1):
            r = session.step(frame)
            snapshot = next(iter(qv.read_frames(tmp_path / f"frame{number}.png")))
            assert r.canvas.tobytes() == snapshot.tobytes(), f"canvas of frame {number}"
            events, konio_events = exported.frame_events(number)
            assert np.array_equal(r.events, events), f"events of frame {number}"
            assert np.array_equal(r.konio_events, konio_events), f"Konio outputs of frame {number}"
            row = exported.frames[number - 1]
            assert (row["t"], row["fovea_cx"], row["fovea_cy"], row["frame_time_ms"],
                    row["events_pushed"], row["displaced_total"], row["batches_total"],
                    row["queue_size"], row["sampled_cx"], row["sampled_cy"]) == (
                        r.t, *r.center, r.frame_time_ms, r.events_pushed, r.displaced_total,
                        r.batches_total, r.queue_size, *r.sampled_center)
            # The export's frames and size place the events as the step's centre and canvas do.
            assert np.array_equal(qv.to_xytp(events, exported.retina, exported),
                                  qv.to_xytp(r.events, session.retina, r))
        assert np.array_equal(session.retina, exported.retina)
        assert session.retina_scale == exported.retina_scale

    module_export = tmp_path / "module.h5"
    result = qv.export_clip(path, module_export, frames=FRAMES)
    assert (result.frames, result.events) == (FRAMES, len(exported.events))
    cli, module = contents(cli_export, attributes=False), contents(module_export, attributes=False)
    assert cli.keys() == module.keys()
    for name in cli:
        assert np.array_equal(cli[name], module[name]), name


def test_export_clip_takes_parameters_as_the_command_line_does(tmp_path):
    path = clip("building.jpg")
    parameters = qv.Parameters()
    parameters.konio.decay = 0.9
    toml = tmp_path / "p.toml"
    toml.write_text(parameters.to_toml())
    qv.export_clip(path, tmp_path / "file.h5", parameters=toml, frames=2)
    qv.export_clip(path, tmp_path / "object.h5", parameters=parameters, frames=2)
    by_file, by_object = qv.read_export(tmp_path / "file.h5"), qv.read_export(tmp_path / "object.h5")
    assert by_object.parameters == parameters == by_file.parameters
    assert np.array_equal(by_file.events, by_object.events)
    assert by_object.attrs["config_file"] == ""

    with pytest.raises(qv.ExportError, match="No such file") as refused:
        qv.export_clip(tmp_path / "missing.avi", tmp_path / "x.h5")
    assert refused.value.status == 2 and not (tmp_path / "x.h5").exists()
    with pytest.raises(ValueError, match="name ending in .h5"):
        qv.export_clip(path, tmp_path / "x.csv")
    with pytest.raises(ValueError, match="^source must be 'auto', 'video' or 'image', not 'camera'$"):
        qv.export_clip(path, tmp_path / "x.h5", source="camera")
    parameters.retina.diameter = 10  # too small for 4096 spiral points: refused before the run
    with pytest.raises(qv.ExportError, match="retina.diameter = 10 is too small"):
        qv.export_clip(path, tmp_path / "x.h5", parameters=parameters)
