import os
from typing import Any, List, Literal, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

Picture = Union[str, os.PathLike[str], npt.NDArray[np.uint8], Any]  # Any: a PIL image

class Error(Exception):
    number: int
    description: str
    source: str
    picture: Optional[int]
    def __init__(self, number: int, description: str, source: str, picture: Optional[int] = ...) -> None: ...

@overload
def create(pictures: Sequence[Picture], output: None = ..., *, delay_ms: int = ..., gray: bool = ...,
           optimize: bool = ..., swap_rg: bool = ..., palette: Literal["first", "all", "frame"] = ...,
           threads: int = ..., fps: Optional[float] = ..., loop: Optional[int] = ...,
           fit: Optional[tuple[int, int]] = ..., background: Union[None, str, int, tuple[int, int, int]] = ...,
           auto_orient: bool = ...) -> bytes: ...
@overload
def create(pictures: Sequence[Picture], output: Union[str, os.PathLike[str]], *, delay_ms: int = ...,
           gray: bool = ..., optimize: bool = ..., swap_rg: bool = ...,
           palette: Literal["first", "all", "frame"] = ..., threads: int = ..., fps: Optional[float] = ...,
           loop: Optional[int] = ..., fit: Optional[tuple[int, int]] = ...,
           background: Union[None, str, int, tuple[int, int, int]] = ..., auto_orient: bool = ...) -> str: ...
def info(path_or_bytes: Union[str, os.PathLike[str], bytes, bytearray, memoryview]) -> dict[str, Any]: ...
def frames(path_or_bytes: Union[str, os.PathLike[str], bytes, bytearray, memoryview]) -> List[npt.NDArray[np.uint8]]: ...
