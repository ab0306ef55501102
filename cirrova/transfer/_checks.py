"""Argument checks, all made before a transfer sends its first request."""

from collections.abc import Mapping

DEFAULT_PART_SIZE = 8 * 1024 * 1024


def check_key(key, name="key"):
    if not isinstance(key, str):
        raise TypeError(f"{name} 必须是 str, 而不是 {type(key).__name__}")
    if not key:
        raise ValueError(f"{name} 不能为空")


def check_int(value, name, minimum):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} 必须是 int, 而不是 {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} 至少为 {minimum}, 而不是 {value}")


def check_callback(callback):
    if callback is not None and not callable(callback):
        raise TypeError(f"callback 必须可调用, 而不是 {type(callback).__name__}")


def check_upload_options(content_type, headers):
    if content_type is not None and not isinstance(content_type, str):
        raise TypeError(f"content_type 必须是 str 或 None, 而不是 {type(content_type).__name__}")
    if headers is not None and not isinstance(headers, Mapping):
        raise TypeError(f"headers 必须是映射或 None, 而不是 {type(headers).__name__}")


def check_pair(item, name):
    """An item of a batch: exactly two elements."""
    if not isinstance(item, (tuple, list)) or len(item) != 2:
        raise TypeError(f"{name} 的每一项必须是两个元素的元组, 而不是 {item!r:.80}")
    return item
