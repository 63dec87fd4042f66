"""Stub text for plugin namespaces, from VapourSynth's signature strings."""
from __future__ import annotations

import keyword
import re
from dataclasses import dataclass
from typing import Iterable

# What a value of each base type may be on the Python side. Integers also
# take enumeration members and formats (stored as their value); data takes
# text, bytes and paths.
_BASE_TYPES = {
    "int": "_IntArg",
    "float": "float",
    "data": "_DataArg",
    "vnode": "VideoNode",
    "anode": "AudioNode",
    "vframe": "VideoFrame",
    "aframe": "AudioFrame",
    "func": "_FuncArg",
}
# What comes back for each base type.
_RESULT_TYPES = {
    "int": "int",
    "float": "float",
    "data": "str | bytes",
    "vnode": "VideoNode",
    "anode": "AudioNode",
    "vframe": "VideoFrame",
    "aframe": "AudioFrame",
    "func": "FunctionValue",
}
_CLIP_OWNERS = {"vnode": "VideoNode", "anode": "AudioNode"}
# Members of Plugin hide functions of the same name.
_PLUGIN_MEMBERS = frozenset({"name", "namespace", "identifier", "plugin_path", "version", "functions"})

PREAMBLE = '''
# Plugin namespaces, as loaded when this stub was generated.

_IntArg: TypeAlias = (
    SupportsIndex | ColorFamily | SampleType | PresetVideoFormat | ChromaLocation | FieldBased
    | MatrixCoefficients | TransferCharacteristics | ColorPrimaries | ColorRange | Range | AudioChannels | VideoFormat
)
_DataArg: TypeAlias = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]
_FuncArg: TypeAlias = Callable[..., Any] | FunctionValue

# A plugin this stub does not know (loaded after it was generated): any
# attribute is a function.
@final
@type_check_only
class _DynamicPlugin(Plugin):
    def __getattr__(self, name: str) -> Function: ...
'''

# Where the base stub says "a plugin, whatever its functions": the plugins
# named here are subclasses without the catch-all, so a mistyped function
# name is an error; any other stays open.
_DYNAMIC_PLUGIN = (
    ("    def __getattr__(self, name: str) -> Plugin: ...\n", "    def __getattr__(self, name: str) -> _DynamicPlugin: ...\n"),
    ("    def __next__(self) -> Plugin: ...\n", "    def __next__(self) -> _DynamicPlugin: ...\n"),
    ("    def plugin(self) -> Plugin: ...\n", "    def plugin(self) -> _DynamicPlugin: ...\n"),
    ("    # Any other attribute is a function of the plugin.\n    def __getattr__(self, name: str) -> Function: ...\n", ""),
    ("@final\nclass Plugin:\n", "class Plugin:\n"),
)


def _plugin_without_fallback(base: str) -> str:
    stub = base
    for old, new in _DYNAMIC_PLUGIN:
        if old not in stub:
            raise ValueError(f"the base stub has no {old.strip()!r}")
        stub = stub.replace(old, new)
    return stub


@dataclass(frozen=True)
class Parameter:
    name: str
    type: str  # base type, without "[]"
    array: bool
    optional: bool

    def python_name(self, names: set[str]) -> str | None:
        """The name a call spells it with among parameters `names`: a keyword
        gets a trailing underscore, unless another parameter has that name.
        None when code cannot write it as a keyword argument."""
        name = self.name + "_" if keyword.iskeyword(self.name) and self.name + "_" not in names else self.name
        return name if name.isidentifier() and not keyword.iskeyword(name) else None


@dataclass(frozen=True)
class PluginFunction:
    name: str
    signature: str
    return_signature: str


@dataclass(frozen=True)
class Namespace:
    namespace: str
    name: str
    functions: tuple[PluginFunction, ...]


def parse_signature(text: str) -> tuple[list[Parameter], bool]:
    """The parameters of a `name:type[:flags];...` text, and whether it ends
    in `any` (further named arguments of any type)."""
    parameters: list[Parameter] = []
    takes_any = False
    for piece in text.split(";"):
        if piece == "any":
            takes_any = True
            continue
        fields = piece.split(":")
        if len(fields) < 2:
            continue
        base = fields[1]
        array = base.endswith("[]")
        parameters.append(Parameter(fields[0], base.removesuffix("[]"), array, "opt" in fields[2:]))
    return parameters, takes_any


def _argument_type(parameter: Parameter) -> str:
    base = _BASE_TYPES.get(parameter.type, "Any")
    # A list, not any sequence: a tuple goes in as binary data.
    text = f"{base} | list[{base}]" if parameter.array else base
    return text + " | None = None" if parameter.optional else text


def result_type(return_signature: str) -> str:
    """One result key gives its value (a list for several values); no key or
    several give a dict."""
    if return_signature.strip() in ("", "any"):
        return "Any"
    entries, takes_any = parse_signature(return_signature)
    if takes_any or len(entries) != 1:
        return "Any"
    only = entries[0]
    base = _RESULT_TYPES.get(only.type, "Any")
    if only.array:
        return f"{base} | list[{base}]"
    return base


def _parameter_list(parameters: list[Parameter], names: set[str], takes_any: bool) -> list[str]:
    listed: list[str] = []
    seen_default = False
    for p in parameters:
        name = p.python_name(names)
        if name is None:
            takes_any = True  # reachable through **kwargs only
            continue
        text = f"{name}: {_argument_type(p)}"
        if p.optional:
            seen_default = True
        elif seen_default:
            # Python cannot put a required parameter after an optional one.
            text += " = ..."
        listed.append(text)
    if takes_any:
        listed.append("**kwargs: Any")
    return listed


def function_stub(function: PluginFunction, bound: bool) -> str:
    parameters, takes_any = parse_signature(function.signature)
    names = {p.name for p in parameters}
    if bound:
        parameters = parameters[1:]
    receiver = "_self" if any(p.python_name(names) == "self" for p in parameters) else "self"
    arguments = ", ".join([receiver, "/", *_parameter_list(parameters, names, takes_any)])
    return f"    def {function.name}({arguments}) -> {result_type(function.return_signature)}: ..."


def first_clip_type(function: PluginFunction) -> str | None:
    """The clip class this function can be called on, if its first parameter is a clip."""
    parameters, _ = parse_signature(function.signature)
    if not parameters or parameters[0].array:
        return None
    return _CLIP_OWNERS.get(parameters[0].type)


def is_attribute_name(name: str) -> bool:
    return name.isidentifier() and not keyword.iskeyword(name)


def class_name(owner: str, namespace: str) -> str:
    return f"_{owner}_{namespace}"


def namespace_class(owner: str, namespace: Namespace) -> str | None:
    """The class of `namespace` as seen from `owner` ("Core", or a clip class
    whose functions take it first); None when it has no function to show."""
    bound = owner != "Core"
    lines = []
    for function in namespace.functions:
        if not is_attribute_name(function.name) or function.name in _PLUGIN_MEMBERS:
            continue
        if bound and first_clip_type(function) != owner:
            continue
        lines.append(function_stub(function, bound))
    if not lines and bound:
        return None
    head = f"@final\n@type_check_only\nclass {class_name(owner, namespace.namespace)}(Plugin):\n"
    return head + ("\n".join(lines) if lines else "    ...") + "\n"


def _property(attribute: str, type_name: str) -> str:
    return f"    @property\n    def {attribute}(self) -> {type_name}: ...\n"


def _insert_members(stub: str, class_line: str, members: str) -> str:
    """`members` placed first in the body of the class declared by `class_line`."""
    pattern = re.compile(rf"^{re.escape(class_line)}\n", re.MULTILINE)
    found = pattern.search(stub)
    if found is None:
        raise ValueError(f"the base stub has no '{class_line}'")
    return stub[:found.end()] + members + stub[found.end():]


def with_namespaces(base: str, namespaces: Iterable[Namespace], taken: dict[str, set[str]]) -> str:
    """The full stub: `base` with each namespace added to the core, the proxy
    and the clip classes. `taken` holds each class's own member names, which
    hide a namespace of the same name."""
    classes: list[str] = []
    members: dict[str, str] = {"Core": "", "VideoNode": "", "AudioNode": ""}
    for namespace in sorted(namespaces, key=lambda n: n.namespace):
        if not is_attribute_name(namespace.namespace):
            continue
        for owner in members:
            if namespace.namespace in taken.get(owner, set()):
                continue
            text = namespace_class(owner, namespace)
            if text is None:
                continue
            classes.append(text)
            members[owner] += _property(namespace.namespace, class_name(owner, namespace.namespace))
    stub = _plugin_without_fallback(base)
    proxy_members = "".join(
        _property(n, class_name("Core", n))
        for n in _properties_of(members["Core"]) if n not in taken.get("CoreProxy", set()))
    stub = _insert_members(stub, "class Core:", members["Core"])
    stub = _insert_members(stub, "class CoreProxy:", proxy_members)
    stub = _insert_members(stub, "class VideoNode:", members["VideoNode"])
    stub = _insert_members(stub, "class AudioNode:", members["AudioNode"])
    stub = _insert_after_docstring(stub, "import os\nfrom collections.abc import Callable\nfrom typing import TypeAlias\n")
    return stub.rstrip("\n") + "\n" + PREAMBLE + "\n" + "\n".join(classes)


def _insert_after_docstring(stub: str, text: str) -> str:
    if not stub.startswith('"""'):
        return text + stub
    end = stub.index('"""', 3) + 3
    return stub[:end] + "\n" + text + stub[end:]


def _properties_of(members: str) -> list[str]:
    return re.findall(r"def (\w+)\(self\)", members)
