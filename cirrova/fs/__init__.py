"""fsspec filesystems over the four services: "s3://", "cos://", "oss://" and "ufile://" URLs for pandas, pyarrow,
Dask and everything else that opens files through fsspec.

    import cirrova.fs, pandas as pd
    fs = cirrova.fs.OSSFileSystem(profile="oss")                      # the command line's profiles
    pd.read_parquet("oss://bucket/t.parquet", filesystem=fs)
    cirrova.fs.register(clobber=True)                                 # then "s3://" and "oss://" mean cirrova
    pd.read_csv("s3://bucket/a.csv", storage_options={"profile": "default"})

"cos://" and "ufile://" are registered with fsspec through the package's entry points; "s3://" and "oss://"
belong to other packages in fsspec's own table, so cirrova takes them only when asked, with register().
Needs `pip install "cirrova[fsspec]"`.
"""

try:
    import fsspec  # type: ignore[import-untyped]
except ImportError:
    raise ImportError('cirrova.fs needs fsspec: pip install "cirrova[fsspec]"') from None

from ._core import ObjectFile, ObjectFileSystem


class S3FileSystem(ObjectFileSystem):
    """Any S3-protocol service ("s3://bucket/key")."""

    protocol = ("s3",)
    scheme = "s3"


class COSFileSystem(ObjectFileSystem):
    """COS ("cos://bucket-appid/key")."""

    protocol = ("cos",)
    scheme = "cos"


class OSSFileSystem(ObjectFileSystem):
    """OSS ("oss://bucket/key")."""

    protocol = ("oss",)
    scheme = "oss"


class UFileFileSystem(ObjectFileSystem):
    """UFile ("ufile://bucket/key"); prints nothing, unlike the plain UFile client."""

    protocol = ("ufile",)
    scheme = "ufile"


FILESYSTEMS = {"s3": S3FileSystem, "cos": COSFileSystem, "oss": OSSFileSystem, "ufile": UFileFileSystem}


def register(clobber=False):
    """Registers the four filesystems with fsspec under their schemes. Without `clobber`, a scheme that fsspec
    already maps to another package's filesystem (fsspec's table names s3fs for "s3" and ossfs for "oss")
    raises ValueError before anything is registered; returns the schemes registered."""
    from fsspec.registry import known_implementations, registry  # type: ignore[import-untyped]

    for scheme, cls in FILESYSTEMS.items():
        target = f"{cls.__module__}.{cls.__qualname__}"
        known = known_implementations.get(scheme, {}).get("class")
        current = registry.get(scheme)
        if not clobber and ((current is not None and current is not cls) or (known not in (None, target))):
            raise ValueError(f"fsspec already maps {scheme}:// to {known or current!r}; "
                             f"call cirrova.fs.register(clobber=True) to use cirrova's filesystem for it")
    for scheme, cls in FILESYSTEMS.items():
        fsspec.register_implementation(scheme, cls, clobber=True)
    return list(FILESYSTEMS)


__all__ = ["S3FileSystem", "COSFileSystem", "OSSFileSystem", "UFileFileSystem", "ObjectFileSystem", "ObjectFile",
           "FILESYSTEMS", "register"]
