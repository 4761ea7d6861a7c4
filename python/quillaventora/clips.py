"""Which clips a batch runs and where each one's export goes.

An argument is a clip (any file: it is tried, and fails with its cause if it cannot be read;
a name that is no file is refused, unless it is an image sequence's pattern, 'img_%03d.png'),
a directory searched recursively for video and image files, or @LIST, a text file of arguments,
one a line (blank lines and lines starting with '#' skipped). A clip named on the line or in a
list goes to OUT/<its name>.h5; one found in a directory to OUT/<its path below that
directory>.h5, so `batch clips/` and `batch clips/*` give the same outputs.
"""

import os
from dataclasses import dataclass

VIDEO_SUFFIXES = frozenset(
    ".avi .mp4 .m4v .mov .mkv .webm .mpg .mpeg .mpe .ts .mts .m2ts .wmv .flv .ogv .3gp .mjpeg "
    ".mjpg .y4m".split())
IMAGE_SUFFIXES = frozenset(
    ".png .jpg .jpeg .jpe .jp2 .bmp .dib .tif .tiff .webp .pbm .pgm .ppm .pxm .pnm .pfm .sr "
    ".ras .exr .hdr .pic".split())


@dataclass(frozen=True)
class Clip:
    input: str  # absolute
    output: str  # relative to the output folder, ending in .h5


def _is_media(name):
    return os.path.splitext(name)[1].lower() in VIDEO_SUFFIXES | IMAGE_SUFFIXES


def _expand(arguments):
    """The arguments with every @LIST replaced by its lines. A missing list raises OSError."""
    for argument in arguments:
        if not argument.startswith("@"):
            yield argument
            continue
        with open(argument[1:], encoding="utf-8", errors="surrogateescape") as lines:
            for line in lines:
                line = line.rstrip("\r\n")
                if line.strip() and not line.lstrip().startswith("#"):
                    yield line


def _walk(directory, skip):
    """Media files below `directory`, sorted, hidden names and the folder `skip` left out.
    Symbolic links to files are taken; links to directories are not followed (no cycles)."""
    for root, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs
                         if not d.startswith(".") and os.path.realpath(os.path.join(root, d)) != skip)
        for name in sorted(files):
            if not name.startswith(".") and _is_media(name):
                path = os.path.join(root, name)
                yield path, os.path.relpath(path, directory)


def find_clips(arguments, out_dir):
    """The clips of the command line's arguments, in their order, each once.

    Raises ValueError when an argument names no file, two clips would write the same output or
    an output would be one of the inputs, OSError when a list cannot be read.
    """
    skip = os.path.realpath(out_dir)
    clips, by_output = [], {}
    for argument in _expand(arguments):
        if os.path.isdir(argument):
            found = _walk(argument, skip)
        else:
            _check_exists(argument)
            found = [(argument, os.path.basename(os.path.normpath(argument)))]
        for path, relative in found:
            clip = Clip(os.path.abspath(path), relative + ".h5")
            earlier = by_output.setdefault(clip.output, clip)
            if earlier == clip and earlier is not clip:
                continue  # the same file given twice
            if earlier != clip:
                raise ValueError(f"'{earlier.input}' and '{clip.input}' would both be written to "
                                 f"'{os.path.join(out_dir, clip.output)}': give their common "
                                 "directory instead, or run them as two batches")
            clips.append(clip)
    inputs = {clip.input for clip in clips} | {_identity(clip.input) for clip in clips}
    inputs.discard(None)
    for clip in clips:
        output = os.path.abspath(os.path.join(out_dir, clip.output))
        if output in inputs or _identity(output) in inputs:
            raise ValueError(f"'{output}' would be written over one of the inputs")
    return clips


def _check_exists(argument):
    """Refuses a name that is no file (a mistyped one, say) before a batch starts anything. An
    image sequence's pattern names files that only the reader finds."""
    try:
        os.stat(argument)
    except OSError as error:
        if "%" not in os.path.basename(argument):
            raise ValueError(f"cannot read the input '{argument}': {error.strerror}") from None


def stat_or_none(path):
    try:
        return os.stat(path)
    except OSError:
        return None


def _identity(path):
    """(device, inode) of an existing file, else None."""
    info = stat_or_none(path)
    return info and (info.st_dev, info.st_ino)
