# Type information for the quorl_core extension module, shipped as a stub-only
# package so that type checkers find it next to the compiled module.

__all__ = ["canonical_bytes_from_json", "digest_from_json"]

def canonical_bytes_from_json(tagged_json: str) -> bytes:
    """Canonical bytes of a tagged JSON document; ValueError when it has none."""
    ...

# `profile` is any str on purpose: an unknown profile is a ValueError at run
# time, not a type error ("run", "certificate", "artifact-byte" and
# "semantic-content" are accepted).
def digest_from_json(tagged_json: str, profile: str) -> str:
    """64 lowercase hex digits: SHA-256 of the profile's domain line and the
    canonical bytes, a top-level "digest" member left out."""
    ...
