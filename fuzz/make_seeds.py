"""Writes the fuzz targets' seed corpus to fuzz/seeds/: every accepted frame form (array, map
keyed by names, by positions or by bin names, unknown keys skipped), the union key as a name
string, a bin name and a position, every widget kind with its payload as array, map and bin
record, every number encoding a field accepts, plus a few refused inputs.

Each seed is a stream of one or more frames followed by cut lengths and their count, the layout
frame_stream_fuzzer reads; frame_parse_fuzzer decodes the first frame and ignores the rest.
Run from the repository root: python3 fuzz/make_seeds.py
"""

import os
import shutil
import struct

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
         "Joystick"]


def fixstr(text):
    data = text.encode()
    assert len(data) < 32
    return bytes([0xA0 | len(data)]) + data


def bin8(data):
    return b"\xc4" + bytes([len(data)]) + data


def arr(*items):
    return bytes([0x90 | len(items)]) + b"".join(items)


def fmap(*pairs):
    return bytes([0x80 | len(pairs)]) + b"".join(k + v for k, v in pairs)


def f32(x):
    return b"\xca" + struct.pack(">f", x)


def f64(x):
    return b"\xcb" + struct.pack(">d", x)


def pos(n):
    return bytes([n])


TRUE, FALSE = b"\xc3", b"\xc2"

# Payloads of each kind, in every record form.
PAYLOADS = {
    "ClickButton": [arr(), fmap(), bin8(b"\x01\x02"), fmap((fixstr("x"), TRUE))],
    "ToggleButton": [arr(TRUE), fmap((fixstr("value"), FALSE)), fmap((pos(0), TRUE)),
                     fmap((fixstr("value"), TRUE), (fixstr("extra"), arr(pos(1), b"\xc0")))],
    "ConfirmButton": [arr(), fmap((pos(3), fmap())), bin8(b"")],
    "PressButton": [arr(FALSE), fmap((bin8(b"pressed"), TRUE))],
    "DirectionalButton": [arr(pos(5)), arr(b"\xcc\xff"), arr(b"\xd0\x07"), arr(b"\xcd\x00\x10"),
                          bin8(b"\x05"), fmap((fixstr("direction"), b"\xce\x00\x00\x00\x2a"))],
    "Joystick": [
        arr(arr(f32(0.5), f32(-1.0)), f32(0.75)),
        arr(arr(pos(1), pos(2)), pos(3)),
        arr(fmap((fixstr("y"), f64(2.0)), (fixstr("x"), f64(1.0))), f64(0.1)),
        arr(bin8(b"\x01\x02\x09"), b"\xd1\xff\x00"),
        fmap((fixstr("intensity"), f32(1.0)), (fixstr("delta"), arr(b"\xff", b"\xcf" + b"\0" * 7 + b"\x04"))),
        fmap((pos(1), f64(float("nan"))), (pos(0), fmap((pos(0), f32(0.0)), (pos(1), f32(-0.0))))),
    ],
}


def union(selector, payload):
    return fmap((selector, payload))


def selectors(index, kind):
    return {"name": fixstr(kind), "bin": bin8(kind.encode()), "position": pos(index)}


def frame_forms(widget_id, data):
    return {
        "array": arr(widget_id, data),
        "map": fmap((fixstr("id"), widget_id), (fixstr("data"), data)),
        "positions": fmap((pos(1), data), (pos(0), widget_id)),
        "binkeys": fmap((bin8(b"id"), widget_id), (fixstr("skip"), fmap((pos(9), arr())), ),
                        (bin8(b"data"), data)),
    }


def seeds():
    found = {}
    for index, kind in enumerate(KINDS):
        for number, payload in enumerate(PAYLOADS[kind]):
            for selector_name, selector in selectors(index, kind).items():
                data = union(selector, payload)
                for form, frame in frame_forms(pos(index + 3), data).items():
                    found[f"{kind}-{number}-{selector_name}-{form}"] = frame
    found["id-forms"] = arr(b"\xcc\xff", union(pos(0), arr())) + arr(b"\xd0\x10", union(pos(2), arr()))
    found["two-frames"] = arr(pos(1), union(pos(0), arr())) + arr(pos(2), union(pos(0), arr()))
    found["skipped-extensions"] = fmap((fixstr("id"), pos(1)),
                                       (fixstr("e"), b"\xc7\x03\x01\x00\x01\x02"),
                                       (b"\x07", b"\xd4\x01\x0a"),
                                       (fixstr("data"), union(pos(0), arr())))
    # 16-bit array and map headers, an 8-bit string header and a 16-bit bin header
    found["wide-headers"] = (b"\xdc\x00\x02" + pos(2) + b"\xde\x00\x01" + b"\xd9\x11"
                             + b"DirectionalButton" + b"\xc5\x00\x01\x05")
    # refused: nil, a bare variant key, an unknown variant, a truncated frame, the reserved
    # byte, a frame nested deeper than allowed, a frame with a third element
    found["refused-nil"] = b"\xc0"
    found["refused-bare-key"] = arr(pos(1), fixstr("ClickButton"))
    found["refused-unknown"] = arr(pos(1), union(fixstr("Foo"), arr()))
    found["refused-truncated"] = arr(pos(3))
    found["refused-reserved"] = b"\xc1"
    found["refused-deep"] = b"\x91" * 1100
    found["refused-third"] = arr(pos(1), union(pos(0), arr()), b"\xc0")
    return found


def with_cuts(stream, number):
    """Appends cut lengths (a few small pieces, varying with `number`) and their count."""
    cuts = bytes([(number + k) % 5 + 1 for k in range(number % 4)])
    return stream + cuts + bytes([len(cuts)])


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for number, (name, stream) in enumerate(sorted(seeds().items())):
        with open(os.path.join(directory, name), "wb") as file:
            file.write(with_cuts(stream, number))


if __name__ == "__main__":
    main()
