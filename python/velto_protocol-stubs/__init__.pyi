# Types of the velto_protocol extension module, for type checkers and editors.
#
# The extension is a single top-level module, and type checkers honour a py.typed marker only
# inside a package, so its types ship as this stub-only package beside it.
#
# Classes marked @type_check_only exist at run time only as the classes of objects the module
# hands out (a joystick's delta, a raised fault), never as module attributes: in annotations they
# need quotes or `from __future__ import annotations`.

from typing import Any, Callable, ClassVar, Iterable, Literal, TypeVar, final, type_check_only

from typing_extensions import disjoint_base

__all__ = [
    "VeltoPiServer",
    "ComSocketServer",
    "Protocol",
    "ServerStatus",
    "ConfirmResult",
    "ErrorResult",
    "WidgetRegistry",
    "on",
]

_Widget = TypeVar("_Widget", bound=WidgetRegistry)
# The widget texts a frame can match: any other text is stored, and warned about, but no frame
# ever reaches its action.
_WidgetKind = Literal[
    "ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton", "Joystick"
]
_Function = TypeVar("_Function", bound=Callable[..., Any])

@type_check_only
class PanicException(BaseException):
    """A fault inside the module; not an Exception, so `except Exception` lets it through."""

@final
class ServerStatus:
    NotInit: ClassVar[ServerStatus]
    Idle: ClassVar[ServerStatus]
    Busy: ClassVar[ServerStatus]
    Error: ClassVar[ServerStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...

@final
class Protocol:
    WebSocket: ClassVar[Protocol]
    Bluetooth: ClassVar[Protocol]
    Http: ClassVar[Protocol]
    Usb: ClassVar[Protocol]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...

@final
class ConfirmResult:
    def __new__(cls, status: bool) -> ConfirmResult: ...
    @property
    def status(self) -> bool: ...

@final
class ErrorResult:
    def __new__(cls, error: str) -> ErrorResult: ...
    @property
    def error(self) -> str: ...

@final
@type_check_only
class Coord:
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...

@disjoint_base
class WidgetRegistry:
    # At run time each kind class is named WidgetRegistry_<Kind> and reached only as
    # WidgetRegistry.<Kind>, which is also how these nested classes are written in annotations.
    @final
    class ClickButton(WidgetRegistry):
        __match_args__: ClassVar[None]
        def __new__(cls) -> WidgetRegistry.ClickButton: ...

    @final
    class ToggleButton(WidgetRegistry):
        __match_args__ = ("value",)
        def __new__(cls, value: bool) -> WidgetRegistry.ToggleButton: ...
        @property
        def value(self) -> bool: ...

    @final
    class ConfirmButton(WidgetRegistry):
        __match_args__: ClassVar[None]
        def __new__(cls) -> WidgetRegistry.ConfirmButton: ...

    @final
    class PressButton(WidgetRegistry):
        __match_args__ = ("pressed",)
        def __new__(cls, pressed: bool) -> WidgetRegistry.PressButton: ...
        @property
        def pressed(self) -> bool: ...

    @final
    class DirectionalButton(WidgetRegistry):
        __match_args__ = ("direction",)
        def __new__(cls, direction: int) -> WidgetRegistry.DirectionalButton: ...
        @property
        def direction(self) -> int: ...

    @final
    class Joystick(WidgetRegistry):
        __match_args__ = ("delta", "intensity")
        def __new__(cls, delta: Coord, intensity: float) -> WidgetRegistry.Joystick: ...
        @property
        def delta(self) -> Coord: ...
        @property
        def intensity(self) -> float: ...

@final
class ComSocketServer:
    def __new__(cls, address: str) -> ComSocketServer: ...
    @property
    def address(self) -> str: ...
    @property
    def read_interval(self) -> float: ...
    @read_interval.setter
    def read_interval(self, seconds: float, /) -> None: ...
    @property
    def console_lines(self) -> bool: ...
    @console_lines.setter
    def console_lines(self, on: bool, /) -> None: ...
    @property
    def latest_only(self) -> frozenset[_WidgetKind]: ...
    @latest_only.setter
    def latest_only(self, kinds: Iterable[_WidgetKind], /) -> None: ...
    # Seconds without an answer at the network level after which the phone counts as gone
    # (None: never); applies to the current connection at once.
    @property
    def liveness_timeout(self) -> float | None: ...
    @liveness_timeout.setter
    def liveness_timeout(self, value: float | None) -> None: ...
    # The addresses and networks open() lets phones connect from (None: any), normalized.
    @property
    def allowed_clients(self) -> tuple[str, ...] | None: ...
    @allowed_clients.setter
    def allowed_clients(self, value: Iterable[str] | None) -> None: ...
    def on(self, id: int, widget: _WidgetKind, action: Callable[[_Widget], object]) -> None: ...
    def _get_action(self, key: str) -> Any: ...
    def open(self) -> None: ...
    def serve(self) -> None: ...
    def callback(self, id: int, status: ServerStatus, data: ConfirmResult | ErrorResult) -> None: ...
    def close(self) -> None: ...
    def wait_disconnected(
        self, timeout: float | None = None
    ) -> Literal["disconnected", "stopped", "failed"] | None: ...
    async def open_async(self) -> None: ...
    async def wait_disconnected_async(
        self, timeout: float | None = None
    ) -> Literal["disconnected", "stopped", "failed"] | None: ...

@final
class VeltoPiServer:
    @staticmethod
    def use_socket(address: str) -> ComSocketServer: ...

def on(server: ComSocketServer) -> Callable[[_Function], _Function]: ...
