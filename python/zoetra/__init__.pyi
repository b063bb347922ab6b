import os
from types import TracebackType
from typing import Any, Iterator, Literal, Optional, Protocol, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
Picture = Union[Path, npt.NDArray[np.uint8], Any]  # Any: a PIL image
Pictures = Union[Sequence[Picture], npt.NDArray[np.uint8]]  # the array: N x H x W x 3 or x 4
Size = Union[tuple[int, int], str]  # (width, height) or "WxH"
GIFSource = Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview]

class Error(Exception):
    number: int
    description: str
    source: str
    picture: Optional[int]
    path: Optional[str]
    def __init__(self, number: int, description: str, source: str, picture: Optional[int] = ...,
                 path: Optional[str] = ...) -> None: ...

class GIF(bytes):
    def _repr_html_(self) -> str: ...

@overload
def create(pictures: Pictures, output: None = ..., *, delay_ms: int = ..., gray: bool = ...,
           optimize: bool = ..., swap_rg: bool = ..., palette: Literal["first", "all", "frame"] = ...,
           threads: int = ..., fps: Optional[float] = ..., loop: Optional[int] = ...,
           fit: Optional[Size] = ..., background: Union[None, str, int, tuple[int, int, int]] = ...,
           auto_orient: bool = ..., quality: int = ...) -> GIF: ...
@overload
def create(pictures: Pictures, output: Path, *, delay_ms: int = ...,
           gray: bool = ..., optimize: bool = ..., swap_rg: bool = ...,
           palette: Literal["first", "all", "frame"] = ..., threads: int = ..., fps: Optional[float] = ...,
           loop: Optional[int] = ..., fit: Optional[Size] = ...,
           background: Union[None, str, int, tuple[int, int, int]] = ..., auto_orient: bool = ...,
           quality: int = ...) -> str: ...
class BinaryOutput(Protocol):
    def write(self, data: bytes, /) -> Any: ...

class Writer:
    def __init__(self, output: Union[Path, BinaryOutput], *, delay_ms: int = ..., fps: Optional[float] = ...,
                 gray: bool = ..., optimize: bool = ..., swap_rg: bool = ...,
                 palette: Literal["first", "all", "frame"] = ..., threads: int = ..., loop: Optional[int] = ...,
                 fit: Optional[Size] = ..., background: Union[None, str, int, tuple[int, int, int]] = ...,
                 auto_orient: bool = ..., quality: int = ...) -> None: ...
    def add(self, picture: Picture, delay_ms: Optional[int] = ...) -> None: ...
    def finish(self) -> int: ...
    def close(self) -> None: ...
    @property
    def frames(self) -> int: ...
    def __enter__(self) -> Writer: ...
    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> Literal[False]: ...

def info(path_or_bytes: GIFSource) -> dict[str, Any]: ...
def frames(path_or_bytes: GIFSource) -> Iterator[npt.NDArray[np.uint8]]: ...
