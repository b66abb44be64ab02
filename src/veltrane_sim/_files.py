"""Files rewritten whole.  The new content goes to a temporary file beside
the old one, which os.replace then swaps in: a write that fails (a full disk,
a value that does not serialise) leaves the old file as it was."""

import os
import uuid


def replace_text(path: str, text: str) -> None:
    """Write `text` as the whole content of `path`, in UTF-8."""
    temporary = f"{path}.{uuid.uuid4().hex}.tmp"
    try:
        with open(temporary, "x", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
