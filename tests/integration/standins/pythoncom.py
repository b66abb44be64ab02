"""pythoncom where pywin32 does not exist: COM apartments are a Windows
matter, so entering and leaving one does nothing here."""


def CoInitialize() -> None:
    """Enter a single-threaded apartment (nothing to do off Windows)."""


def CoUninitialize() -> None:
    """Leave the apartment (nothing to do off Windows)."""
