"""The client side of the end-to-end benchmark: a mixed stream of widget frames, via msgpack."""

import msgpack

# One widget id per kind; every frame of the stream has an action registered for it.
WIDGET_IDS = {
    "ClickButton": 1,
    "ToggleButton": 3,
    "ConfirmButton": 5,
    "PressButton": 2,
    "DirectionalButton": 4,
    "Joystick": 7,
}
KINDS = list(WIDGET_IDS)


def _payload(kind, index, as_map):
    if kind in ("ClickButton", "ConfirmButton"):
        return {} if as_map else []
    if kind == "ToggleButton":
        return {"value": index % 2 == 0} if as_map else [index % 2 == 0]
    if kind == "PressButton":
        return {"pressed": index % 3 == 0} if as_map else [index % 3 == 0]
    if kind == "DirectionalButton":
        return {"direction": index % 256} if as_map else [index % 256]
    x, y, intensity = (index % 100) / 100.0, -1.0, 0.75
    if as_map:
        return {"delta": {"x": x, "y": y}, "intensity": intensity}
    return [[x, y], intensity]


def frame_value(index):
    """Frame number `index`: the six kinds in turn, array and map form alternating per round."""
    kind = KINDS[index % len(KINDS)]
    as_map = (index // len(KINDS)) % 2 == 1
    data = {kind: _payload(kind, index, as_map)}
    widget_id = WIDGET_IDS[kind]
    return {"id": widget_id, "data": data} if as_map else [widget_id, data]


def encode_frames(count):
    """`count` consecutive frames as one byte string (floats as float 32, as a phone sends them)."""
    return b"".join(msgpack.packb(frame_value(i), use_single_float=True) for i in range(count))


def action_keys():
    return [f"{kind}_{widget_id}" for kind, widget_id in WIDGET_IDS.items()]
