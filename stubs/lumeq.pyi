"""Python bindings for VapourSynth."""

import inspect
from collections.abc import Generator, Iterator, Sequence
from fractions import Fraction
from types import MappingProxyType, TracebackType
from typing import Any, ClassVar, Final, Generic, Literal, Never, Protocol, Self, SupportsIndex, TypeVar, final, overload, type_check_only

from typing_extensions import disjoint_base


__all__ = [
    "Core",
    "CoreProxy",
    "PluginIter",
    "ColorFamily",
    "SampleType",
    "Environment",
    "EnvironmentPolicy",
    "EnvironmentPolicyAPI",
    "StandaloneEnvironmentPolicy",
    "VideoOutputTuple",
    "clear_output",
    "clear_outputs",
    "clear_policy",
    "get_current_environment",
    "get_output",
    "get_outputs",
    "has_policy",
    "register_policy",
    "VideoFormat",
    "VideoFrame",
    "FrameIter",
    "VideoNode",
    "AudioNode",
    "AudioFrame",
    "Function",
    "PluginFunctionIter",
    "Plugin",
    "PresetVideoFormat",
    "ChromaLocation",
    "FieldBased",
    "MatrixCoefficients",
    "TransferCharacteristics",
    "ColorPrimaries",
    "ColorRange",
    "Range",
    "AudioChannels",
    "AudioFormat",
    "NONE",
    "GRAY8",
    "GRAY9",
    "GRAY10",
    "GRAY12",
    "GRAY14",
    "GRAY16",
    "GRAY32",
    "GRAYH",
    "GRAYS",
    "YUV410P8",
    "YUV411P8",
    "YUV440P8",
    "YUV420P8",
    "YUV422P8",
    "YUV444P8",
    "YUV420P9",
    "YUV422P9",
    "YUV444P9",
    "YUV420P10",
    "YUV422P10",
    "YUV444P10",
    "YUV420P12",
    "YUV422P12",
    "YUV444P12",
    "YUV420P14",
    "YUV422P14",
    "YUV444P14",
    "YUV410P16",
    "YUV411P16",
    "YUV440P16",
    "YUV420P16",
    "YUV422P16",
    "YUV444P16",
    "YUV410PH",
    "YUV410PS",
    "YUV411PH",
    "YUV411PS",
    "YUV440PH",
    "YUV440PS",
    "YUV420PH",
    "YUV420PS",
    "YUV422PH",
    "YUV422PS",
    "YUV444PH",
    "YUV444PS",
    "RGB24",
    "RGB27",
    "RGB30",
    "RGB36",
    "RGB42",
    "RGB48",
    "RGBH",
    "RGBS",
    "core",
]

# Cores, plugins and functions

@final
class Core:
    def __new__(cls, threads: int | None = None, max_cache_size: int | None = None) -> Self: ...
    @property
    def num_threads(self) -> int: ...
    @num_threads.setter
    def num_threads(self, value: int) -> None: ...
    @property
    def max_cache_size(self) -> int: ...
    @max_cache_size.setter
    def max_cache_size(self, mb: int) -> None: ...
    @property
    def node_timing(self) -> bool: ...
    @node_timing.setter
    def node_timing(self, value: bool) -> None: ...
    def plugins(self) -> PluginIter: ...
    def version(self) -> str: ...
    def version_number(self) -> int: ...
    def get_video_format(self, id: int | VideoFormat) -> VideoFormat: ...
    def query_video_format(
        self, color_family: int | ColorFamily, sample_type: int | SampleType, bits_per_sample: int,
        subsampling_w: int = 0, subsampling_h: int = 0,
    ) -> VideoFormat: ...
    def query_audio_format(
        self, sample_type: int | SampleType, bits_per_sample: int, channels: Sequence[int | AudioChannels],
    ) -> AudioFormat: ...
    # Any other attribute is a plugin namespace.
    def __getattr__(self, name: str) -> Plugin: ...
    def __dir__(self) -> list[str]: ...

@final
class CoreProxy:
    @property
    def core(self) -> Core: ...
    # Reads and writes are forwarded to the current environment's Core.
    @property
    def num_threads(self) -> int: ...
    @num_threads.setter
    def num_threads(self, value: int) -> None: ...
    @property
    def max_cache_size(self) -> int: ...
    @max_cache_size.setter
    def max_cache_size(self, mb: int) -> None: ...
    @property
    def node_timing(self) -> bool: ...
    @node_timing.setter
    def node_timing(self, value: bool) -> None: ...
    def plugins(self) -> PluginIter: ...
    def version(self) -> str: ...
    def version_number(self) -> int: ...
    def get_video_format(self, id: int | VideoFormat) -> VideoFormat: ...
    def query_video_format(
        self, color_family: int | ColorFamily, sample_type: int | SampleType, bits_per_sample: int,
        subsampling_w: int = 0, subsampling_h: int = 0,
    ) -> VideoFormat: ...
    def query_audio_format(
        self, sample_type: int | SampleType, bits_per_sample: int, channels: Sequence[int | AudioChannels],
    ) -> AudioFormat: ...
    def __getattr__(self, name: str) -> Plugin: ...
    def __dir__(self) -> list[str]: ...

@final
class PluginIter:
    def __iter__(self) -> Self: ...
    def __next__(self) -> Plugin: ...

@final
class Plugin:
    @property
    def name(self) -> str: ...
    @property
    def namespace(self) -> str: ...
    @property
    def identifier(self) -> str: ...
    @property
    def plugin_path(self) -> str | None: ...
    @property
    def version(self) -> tuple[int, int]: ...
    def functions(self) -> PluginFunctionIter: ...
    # Any other attribute is a function of the plugin.
    def __getattr__(self, name: str) -> Function: ...
    def __dir__(self) -> list[str]: ...

@final
class Function:
    @property
    def name(self) -> str: ...
    @property
    def plugin(self) -> Plugin: ...
    @property
    def signature(self) -> str: ...
    @property
    def return_signature(self) -> str: ...
    @property
    def __signature__(self) -> inspect.Signature: ...
    @property
    def __name__(self) -> str: ...
    def __get__(self, instance: object, owner: type | None = None, /) -> Self: ...
    # One result key gives its value (a list for several values); any other
    # number of keys gives a dict.
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

@final
class PluginFunctionIter:
    def __iter__(self) -> Self: ...
    def __next__(self) -> Function: ...

# Formats

@final
class ColorFamily:
    UNDEFINED: ClassVar[ColorFamily]
    GRAY: ClassVar[ColorFamily]
    RGB: ClassVar[ColorFamily]
    YUV: ClassVar[ColorFamily]
    def __int__(self) -> int: ...
    # Equal to a member of the same class or to its integer value.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class SampleType:
    INTEGER: ClassVar[SampleType]
    FLOAT: ClassVar[SampleType]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

# The header's preset format ids; each member is also a module attribute.
@final
class PresetVideoFormat:
    NONE: ClassVar[PresetVideoFormat]
    GRAY8: ClassVar[PresetVideoFormat]
    GRAY9: ClassVar[PresetVideoFormat]
    GRAY10: ClassVar[PresetVideoFormat]
    GRAY12: ClassVar[PresetVideoFormat]
    GRAY14: ClassVar[PresetVideoFormat]
    GRAY16: ClassVar[PresetVideoFormat]
    GRAY32: ClassVar[PresetVideoFormat]
    GRAYH: ClassVar[PresetVideoFormat]
    GRAYS: ClassVar[PresetVideoFormat]
    YUV410P8: ClassVar[PresetVideoFormat]
    YUV411P8: ClassVar[PresetVideoFormat]
    YUV440P8: ClassVar[PresetVideoFormat]
    YUV420P8: ClassVar[PresetVideoFormat]
    YUV422P8: ClassVar[PresetVideoFormat]
    YUV444P8: ClassVar[PresetVideoFormat]
    YUV420P9: ClassVar[PresetVideoFormat]
    YUV422P9: ClassVar[PresetVideoFormat]
    YUV444P9: ClassVar[PresetVideoFormat]
    YUV420P10: ClassVar[PresetVideoFormat]
    YUV422P10: ClassVar[PresetVideoFormat]
    YUV444P10: ClassVar[PresetVideoFormat]
    YUV420P12: ClassVar[PresetVideoFormat]
    YUV422P12: ClassVar[PresetVideoFormat]
    YUV444P12: ClassVar[PresetVideoFormat]
    YUV420P14: ClassVar[PresetVideoFormat]
    YUV422P14: ClassVar[PresetVideoFormat]
    YUV444P14: ClassVar[PresetVideoFormat]
    YUV410P16: ClassVar[PresetVideoFormat]
    YUV411P16: ClassVar[PresetVideoFormat]
    YUV440P16: ClassVar[PresetVideoFormat]
    YUV420P16: ClassVar[PresetVideoFormat]
    YUV422P16: ClassVar[PresetVideoFormat]
    YUV444P16: ClassVar[PresetVideoFormat]
    YUV410PH: ClassVar[PresetVideoFormat]
    YUV410PS: ClassVar[PresetVideoFormat]
    YUV411PH: ClassVar[PresetVideoFormat]
    YUV411PS: ClassVar[PresetVideoFormat]
    YUV440PH: ClassVar[PresetVideoFormat]
    YUV440PS: ClassVar[PresetVideoFormat]
    YUV420PH: ClassVar[PresetVideoFormat]
    YUV420PS: ClassVar[PresetVideoFormat]
    YUV422PH: ClassVar[PresetVideoFormat]
    YUV422PS: ClassVar[PresetVideoFormat]
    YUV444PH: ClassVar[PresetVideoFormat]
    YUV444PS: ClassVar[PresetVideoFormat]
    RGB24: ClassVar[PresetVideoFormat]
    RGB27: ClassVar[PresetVideoFormat]
    RGB30: ClassVar[PresetVideoFormat]
    RGB36: ClassVar[PresetVideoFormat]
    RGB42: ClassVar[PresetVideoFormat]
    RGB48: ClassVar[PresetVideoFormat]
    RGBH: ClassVar[PresetVideoFormat]
    RGBS: ClassVar[PresetVideoFormat]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class ChromaLocation:
    LEFT: ClassVar[ChromaLocation]
    CENTER: ClassVar[ChromaLocation]
    TOP_LEFT: ClassVar[ChromaLocation]
    TOP: ClassVar[ChromaLocation]
    BOTTOM_LEFT: ClassVar[ChromaLocation]
    BOTTOM: ClassVar[ChromaLocation]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class FieldBased:
    PROGRESSIVE: ClassVar[FieldBased]
    BOTTOM: ClassVar[FieldBased]
    TOP: ClassVar[FieldBased]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class MatrixCoefficients:
    RGB: ClassVar[MatrixCoefficients]
    BT709: ClassVar[MatrixCoefficients]
    UNSPECIFIED: ClassVar[MatrixCoefficients]
    FCC: ClassVar[MatrixCoefficients]
    BT470_BG: ClassVar[MatrixCoefficients]
    ST170_M: ClassVar[MatrixCoefficients]
    ST240_M: ClassVar[MatrixCoefficients]
    YCGCO: ClassVar[MatrixCoefficients]
    BT2020_NCL: ClassVar[MatrixCoefficients]
    BT2020_CL: ClassVar[MatrixCoefficients]
    CHROMATICITY_DERIVED_NCL: ClassVar[MatrixCoefficients]
    CHROMATICITY_DERIVED_CL: ClassVar[MatrixCoefficients]
    ICTCP: ClassVar[MatrixCoefficients]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class TransferCharacteristics:
    BT709: ClassVar[TransferCharacteristics]
    UNSPECIFIED: ClassVar[TransferCharacteristics]
    BT470_M: ClassVar[TransferCharacteristics]
    BT470_BG: ClassVar[TransferCharacteristics]
    BT601: ClassVar[TransferCharacteristics]
    ST240_M: ClassVar[TransferCharacteristics]
    LINEAR: ClassVar[TransferCharacteristics]
    LOG_100: ClassVar[TransferCharacteristics]
    LOG_316: ClassVar[TransferCharacteristics]
    IEC_61966_2_4: ClassVar[TransferCharacteristics]
    IEC_61966_2_1: ClassVar[TransferCharacteristics]
    BT2020_10: ClassVar[TransferCharacteristics]
    BT2020_12: ClassVar[TransferCharacteristics]
    ST2084: ClassVar[TransferCharacteristics]
    ST428: ClassVar[TransferCharacteristics]
    ARIB_B67: ClassVar[TransferCharacteristics]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class ColorPrimaries:
    BT709: ClassVar[ColorPrimaries]
    UNSPECIFIED: ClassVar[ColorPrimaries]
    BT470_M: ClassVar[ColorPrimaries]
    BT470_BG: ClassVar[ColorPrimaries]
    ST170_M: ClassVar[ColorPrimaries]
    ST240_M: ClassVar[ColorPrimaries]
    FILM: ClassVar[ColorPrimaries]
    BT2020: ClassVar[ColorPrimaries]
    ST428: ClassVar[ColorPrimaries]
    ST431_2: ClassVar[ColorPrimaries]
    ST432_1: ClassVar[ColorPrimaries]
    EBU3213_E: ClassVar[ColorPrimaries]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

# _ColorRange's numbering; Range is _Range's, with the values swapped.
@final
class ColorRange:
    FULL: ClassVar[ColorRange]
    LIMITED: ClassVar[ColorRange]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Range:
    FULL: ClassVar[Range]
    LIMITED: ClassVar[Range]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class AudioChannels:
    FRONT_LEFT: ClassVar[AudioChannels]
    FRONT_RIGHT: ClassVar[AudioChannels]
    FRONT_CENTER: ClassVar[AudioChannels]
    LOW_FREQUENCY: ClassVar[AudioChannels]
    BACK_LEFT: ClassVar[AudioChannels]
    BACK_RIGHT: ClassVar[AudioChannels]
    FRONT_LEFT_OF_CENTER: ClassVar[AudioChannels]
    FRONT_RIGHT_OF_CENTER: ClassVar[AudioChannels]
    BACK_CENTER: ClassVar[AudioChannels]
    SIDE_LEFT: ClassVar[AudioChannels]
    SIDE_RIGHT: ClassVar[AudioChannels]
    TOP_CENTER: ClassVar[AudioChannels]
    TOP_FRONT_LEFT: ClassVar[AudioChannels]
    TOP_FRONT_CENTER: ClassVar[AudioChannels]
    TOP_FRONT_RIGHT: ClassVar[AudioChannels]
    TOP_BACK_LEFT: ClassVar[AudioChannels]
    TOP_BACK_CENTER: ClassVar[AudioChannels]
    TOP_BACK_RIGHT: ClassVar[AudioChannels]
    STEREO_LEFT: ClassVar[AudioChannels]
    STEREO_RIGHT: ClassVar[AudioChannels]
    WIDE_LEFT: ClassVar[AudioChannels]
    WIDE_RIGHT: ClassVar[AudioChannels]
    SURROUND_DIRECT_LEFT: ClassVar[AudioChannels]
    SURROUND_DIRECT_RIGHT: ClassVar[AudioChannels]
    LOW_FREQUENCY2: ClassVar[AudioChannels]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
@final
class VideoFormat:
    @property
    def id(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def color_family(self) -> ColorFamily: ...
    @property
    def sample_type(self) -> SampleType: ...
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def bytes_per_sample(self) -> int: ...
    @property
    def subsampling_w(self) -> int: ...
    @property
    def subsampling_h(self) -> int: ...
    @property
    def num_planes(self) -> int: ...

# Frames

@final
class VideoFrame:
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def format(self) -> VideoFormat: ...
    @property
    def props(self) -> MappingProxyType[str, Any]: ...
    def __len__(self) -> int: ...
    # A read-only 2-D view (rows, samples) over the plane's own memory.
    def __getitem__(self, key: int, /) -> memoryview: ...
    # Iteration walks the planes through __getitem__.
    def __iter__(self) -> Iterator[memoryview]: ...

@final
class Plane:
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

# Clips

@final
class VideoNode:
    @property
    def num_frames(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def fps(self) -> Fraction: ...
    @property
    def format_name(self) -> str | None: ...
    @property
    def format(self) -> VideoFormat | None: ...
    # Any other attribute is a plugin namespace, bound to this clip.
    def __getattr__(self, name: str) -> Plugin: ...
    def __dir__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def get_frame(self, n: int) -> VideoFrame: ...
    def get_frame_async(self, n: SupportsIndex) -> Coroutine[VideoFrame]: ...
    def frames(self, prefetch: int | None = None, backlog: int | None = None) -> FrameIter[VideoFrame]: ...
    def set_output(self, index: int = 0, alpha: VideoNode | None = None, alt_output: int = 0) -> None: ...
    def filter_times(self) -> list[tuple[str, int]]: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> VideoNode: ...
    @overload
    def __getitem__(self, key: slice, /) -> VideoNode: ...
    # Iteration yields one-frame clips through __getitem__.
    def __iter__(self) -> Iterator[VideoNode]: ...
    def __add__(self, value: VideoNode, /) -> VideoNode: ...
    # Neither reflected form ever succeeds: clip + clip is __add__, and a
    # non-clip operand raises TypeError.
    def __radd__(self, value: Never, /) -> VideoNode: ...
    def __mul__(self, value: SupportsIndex, /) -> VideoNode: ...
    def __rmul__(self, value: Never, /) -> VideoNode: ...

@final
class AudioNode:
    @property
    def sample_type(self) -> SampleType: ...
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def bytes_per_sample(self) -> int: ...
    @property
    def num_channels(self) -> int: ...
    @property
    def channels(self) -> tuple[AudioChannels, ...]: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def num_samples(self) -> int: ...
    @property
    def num_frames(self) -> int: ...
    @property
    def format(self) -> AudioFormat: ...
    def __len__(self) -> int: ...
    def get_frame(self, n: int) -> AudioFrame: ...
    def get_frame_async(self, n: SupportsIndex) -> Coroutine[AudioFrame]: ...
    def frames(self, prefetch: int | None = None, backlog: int | None = None) -> FrameIter[AudioFrame]: ...
    def set_output(self, index: int = 0) -> None: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> AudioNode: ...
    @overload
    def __getitem__(self, key: slice, /) -> AudioNode: ...
    def __iter__(self) -> Iterator[AudioNode]: ...
    def __add__(self, value: AudioNode, /) -> AudioNode: ...
    def __radd__(self, value: Never, /) -> AudioNode: ...
    def __mul__(self, value: SupportsIndex, /) -> AudioNode: ...
    def __rmul__(self, value: Never, /) -> AudioNode: ...

@final
class AudioFormat:
    @property
    def name(self) -> str: ...
    @property
    def sample_type(self) -> SampleType: ...
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def bytes_per_sample(self) -> int: ...
    @property
    def num_channels(self) -> int: ...
    @property
    def channels(self) -> tuple[AudioChannels, ...]: ...
    @property
    def channel_layout(self) -> int: ...

@final
class AudioFrame:
    @property
    def sample_type(self) -> SampleType: ...
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def bytes_per_sample(self) -> int: ...
    @property
    def num_channels(self) -> int: ...
    @property
    def channels(self) -> tuple[AudioChannels, ...]: ...
    @property
    def format(self) -> AudioFormat: ...
    @property
    def num_samples(self) -> int: ...
    @property
    def props(self) -> MappingProxyType[str, Any]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> memoryview: ...

_Frame = TypeVar("_Frame", VideoFrame, AudioFrame)

@final
class FrameIter(Generic[_Frame]):
    def __iter__(self) -> Self: ...
    def __next__(self) -> _Frame: ...

@final
class Coroutine(Generic[_Frame]):
    """The awaitable returned by get_frame_async."""

    def __await__(self) -> Generator[Any, None, _Frame]: ...
    def __next__(self) -> Any: ...
    def send(self, _value: object) -> Any: ...
    def throw(self, exc: BaseException | type[BaseException]) -> Any: ...
    def close(self) -> None: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...

# Environments and outputs

@final
class EnvironmentData:
    @property
    def alive(self) -> bool: ...

@final
class Environment:
    @property
    def env_id(self) -> int: ...
    @property
    def single(self) -> bool: ...
    @property
    def alive(self) -> bool: ...
    @property
    def active(self) -> bool: ...
    def use(self) -> _FastManager: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class _FastManager:
    def __enter__(self) -> None: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...

@disjoint_base
class EnvironmentPolicy:
    def __new__(cls) -> Self: ...
    def get_current_environment(self) -> EnvironmentData | None: ...
    def set_environment(self, _environment: EnvironmentData | None) -> EnvironmentData | None: ...
    def is_alive(self, environment: EnvironmentData | None) -> bool: ...
    def on_policy_registered(self, _special_api: EnvironmentPolicyAPI) -> None: ...
    def on_policy_cleared(self) -> None: ...

@final
class EnvironmentPolicyAPI:
    def create_environment(self, flags: int = 0) -> EnvironmentData: ...
    def destroy_environment(self, environment: EnvironmentData) -> None: ...
    def unregister_policy(self) -> None: ...

@final
class StandaloneEnvironmentPolicy:
    def get_current_environment(self) -> EnvironmentData | None: ...
    def set_environment(self, _environment: object) -> EnvironmentData | None: ...
    def is_alive(self, environment: object) -> bool: ...
    def on_policy_registered(self, api: EnvironmentPolicyAPI) -> None: ...
    def on_policy_cleared(self) -> None: ...

@type_check_only
class _Policy(Protocol):
    # Any object with these hooks can be registered; they are called by name.
    def get_current_environment(self) -> EnvironmentData | None: ...
    def set_environment(self, environment: EnvironmentData | None, /) -> object: ...
    def is_alive(self, environment: EnvironmentData, /) -> bool: ...
    def on_policy_registered(self, api: EnvironmentPolicyAPI, /) -> object: ...
    def on_policy_cleared(self) -> object: ...

@final
class VideoOutputTuple:
    @property
    def clip(self) -> VideoNode: ...
    @property
    def alpha(self) -> VideoNode | None: ...
    @property
    def alt_output(self) -> int: ...
    def __len__(self) -> Literal[3]: ...
    @overload
    def __getitem__(self, key: Literal[0, -3], /) -> VideoNode: ...
    @overload
    def __getitem__(self, key: Literal[1, -2], /) -> VideoNode | None: ...
    @overload
    def __getitem__(self, key: Literal[2, -1], /) -> int: ...
    @overload
    def __getitem__(self, key: int, /) -> VideoNode | int | None: ...
    def __iter__(self) -> Iterator[VideoNode | int | None]: ...

def clear_output(index: int = 0) -> None: ...
def clear_outputs() -> None: ...
def clear_policy() -> None: ...
def get_current_environment() -> Environment: ...
def get_output(index: int = 0) -> VideoOutputTuple | AudioNode: ...
def get_outputs() -> MappingProxyType[int, VideoOutputTuple | AudioNode]: ...
def has_policy() -> bool: ...
def register_policy(policy: _Policy) -> None: ...

NONE: Final[PresetVideoFormat]
GRAY8: Final[PresetVideoFormat]
GRAY9: Final[PresetVideoFormat]
GRAY10: Final[PresetVideoFormat]
GRAY12: Final[PresetVideoFormat]
GRAY14: Final[PresetVideoFormat]
GRAY16: Final[PresetVideoFormat]
GRAY32: Final[PresetVideoFormat]
GRAYH: Final[PresetVideoFormat]
GRAYS: Final[PresetVideoFormat]
YUV410P8: Final[PresetVideoFormat]
YUV411P8: Final[PresetVideoFormat]
YUV440P8: Final[PresetVideoFormat]
YUV420P8: Final[PresetVideoFormat]
YUV422P8: Final[PresetVideoFormat]
YUV444P8: Final[PresetVideoFormat]
YUV420P9: Final[PresetVideoFormat]
YUV422P9: Final[PresetVideoFormat]
YUV444P9: Final[PresetVideoFormat]
YUV420P10: Final[PresetVideoFormat]
YUV422P10: Final[PresetVideoFormat]
YUV444P10: Final[PresetVideoFormat]
YUV420P12: Final[PresetVideoFormat]
YUV422P12: Final[PresetVideoFormat]
YUV444P12: Final[PresetVideoFormat]
YUV420P14: Final[PresetVideoFormat]
YUV422P14: Final[PresetVideoFormat]
YUV444P14: Final[PresetVideoFormat]
YUV410P16: Final[PresetVideoFormat]
YUV411P16: Final[PresetVideoFormat]
YUV440P16: Final[PresetVideoFormat]
YUV420P16: Final[PresetVideoFormat]
YUV422P16: Final[PresetVideoFormat]
YUV444P16: Final[PresetVideoFormat]
YUV410PH: Final[PresetVideoFormat]
YUV410PS: Final[PresetVideoFormat]
YUV411PH: Final[PresetVideoFormat]
YUV411PS: Final[PresetVideoFormat]
YUV440PH: Final[PresetVideoFormat]
YUV440PS: Final[PresetVideoFormat]
YUV420PH: Final[PresetVideoFormat]
YUV420PS: Final[PresetVideoFormat]
YUV422PH: Final[PresetVideoFormat]
YUV422PS: Final[PresetVideoFormat]
YUV444PH: Final[PresetVideoFormat]
YUV444PS: Final[PresetVideoFormat]
RGB24: Final[PresetVideoFormat]
RGB27: Final[PresetVideoFormat]
RGB30: Final[PresetVideoFormat]
RGB36: Final[PresetVideoFormat]
RGB42: Final[PresetVideoFormat]
RGB48: Final[PresetVideoFormat]
RGBH: Final[PresetVideoFormat]
RGBS: Final[PresetVideoFormat]

core: CoreProxy
