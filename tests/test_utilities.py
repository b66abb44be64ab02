"""File and directory helpers."""

import os
import uuid

import pytest
from hypothesis import given, settings, strategies as st


class TestFindFirstFile:
    def test_extension_matches_in_any_letter_case_on_both_sides(self, core, tmp_path):
        (tmp_path / "MODEL.FRE").write_text("x")
        assert core.find_first_file(str(tmp_path), ".fre") == os.path.join(str(tmp_path), "MODEL.FRE")
        assert core.find_first_file(str(tmp_path), ".FRE") == os.path.join(str(tmp_path), "MODEL.FRE")
        (tmp_path / ".THF").write_text("x")  # a name that is the whole extension
        assert core.find_first_file(str(tmp_path), ".thf") == os.path.join(str(tmp_path), ".THF")

    def test_directories_are_skipped_and_empty_gives_empty_text(self, core, tmp_path):
        assert core.find_first_file(str(tmp_path), ".tessel") == ""
        (tmp_path / "a.tessel").mkdir()
        assert core.find_first_file(str(tmp_path), ".tessel") == ""
        (tmp_path / "b.tessel").write_text("x")
        assert core.find_first_file(str(tmp_path), ".tessel") == os.path.join(str(tmp_path), "b.tessel")

    def test_links_to_files_count(self, core, tmp_path):
        (tmp_path / "real.bin").write_text("x")
        try:
            os.symlink(tmp_path / "real.bin", tmp_path / "link.thf")
        except OSError:  # Windows without the right to make links
            pytest.skip("links cannot be made here")
        assert core.find_first_file(str(tmp_path), ".thf") == os.path.join(str(tmp_path), "link.thf")

    def test_listing_order_decides_and_stops_at_the_first_match(self, core, tmp_path, monkeypatch):
        for name in ["c.thf", "a.thf", "b.thf"]:
            (tmp_path / name).write_text("x")
        tested = []
        real_isfile = os.path.isfile
        monkeypatch.setattr(os, "listdir", lambda d: ["c.thf", "a.thf", "b.thf"])
        monkeypatch.setattr(os.path, "isfile", lambda p: tested.append(p) or real_isfile(p))
        assert core.find_first_file(str(tmp_path), ".thf") == os.path.join(str(tmp_path), "c.thf")
        assert tested == [os.path.join(str(tmp_path), "c.thf")]

    def test_empty_extension_takes_the_first_file(self, core, tmp_path, monkeypatch):
        (tmp_path / "sub").mkdir()
        (tmp_path / "z").write_text("x")
        monkeypatch.setattr(os, "listdir", lambda d: ["sub", "z"])
        assert core.find_first_file(str(tmp_path), "") == os.path.join(str(tmp_path), "z")

    def test_non_ascii_names(self, core, tmp_path):
        (tmp_path / "Étude.TÉSSEL").write_text("x")
        assert core.find_first_file(str(tmp_path), ".tÉssel") == os.path.join(str(tmp_path), "Étude.TÉSSEL")

    def test_missing_directory_raises(self, core, tmp_path):
        with pytest.raises(FileNotFoundError):
            core.find_first_file(str(tmp_path / "missing"), ".thf")

    def test_extension_of_a_wrong_type(self, core, tmp_path):
        assert core.find_first_file(str(tmp_path), 5) == ""  # nothing to test it against
        (tmp_path / "a").write_text("x")
        with pytest.raises(TypeError):
            core.find_first_file(str(tmp_path), 5)


def windows_name(name):
    """The name Windows stores: letter case folded, trailing dots dropped."""
    return name.rstrip(".").lower()


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.text(alphabet="abXY.é", min_size=1, max_size=6).filter(windows_name), st.booleans()),
        max_size=6,
        unique_by=lambda t: windows_name(t[0]),
    ),
    st.sampled_from([".x", ".X", ".é", "", "y"]),
)
def test_find_first_file_matches_a_plain_model(tmp_path_factory, entries, ext):
    from veltrane_computer import veltrane_core

    folder = tmp_path_factory.mktemp("listing")
    for name, is_file in entries:
        (folder / name).write_text("x") if is_file else (folder / name).mkdir()
    expected = ""
    for name in os.listdir(folder):
        if name.lower().endswith(ext.lower()) and os.path.isfile(os.path.join(folder, name)):
            expected = os.path.join(str(folder), name)
            break
    assert veltrane_core.find_first_file(str(folder), ext) == expected


class TestCopyDirectoryToTemp:
    def test_full_copy_into_a_new_uuid_folder(self, core, tmp_path):
        (tmp_path / "sub").mkdir()
        (tmp_path / "sub" / "f.txt").write_text("content")
        first = core.copyDirectoryToTemp(str(tmp_path))
        second = core.copyDirectoryToTemp(str(tmp_path))
        try:
            assert first != second
            for copy in (first, second):
                assert os.path.dirname(copy) == __import__("tempfile").gettempdir()
                assert str(uuid.UUID(os.path.basename(copy))) == os.path.basename(copy)
                assert open(os.path.join(copy, "sub", "f.txt")).read() == "content"
        finally:
            import shutil

            shutil.rmtree(first, ignore_errors=True)
            shutil.rmtree(second, ignore_errors=True)

    def test_empty_source_gives_an_empty_folder(self, core, tmp_path):
        copy = core.copyDirectoryToTemp(str(tmp_path))
        assert os.listdir(copy) == []
        os.rmdir(copy)

    def test_missing_source_gives_empty_text(self, core, tmp_path):
        assert core.copyDirectoryToTemp(str(tmp_path / "missing")) == ""

    def test_a_failed_copy_leaves_nothing_behind(self, core, tmp_path, monkeypatch):
        for name in "abc":
            (tmp_path / name).write_text(name)
        fixed = uuid.uuid4()
        monkeypatch.setattr(uuid, "uuid4", lambda: fixed)
        import shutil

        copied = []

        def flaky_copy(src, dst, **kwargs):
            if copied:
                raise OSError("disk full")
            copied.append(src)
            return shutil.copy2(src, dst)

        real_copytree = shutil.copytree
        monkeypatch.setattr(shutil, "copytree", lambda s, d, **kw: real_copytree(s, d, copy_function=flaky_copy, **kw))
        assert core.copyDirectoryToTemp(str(tmp_path)) == ""
        assert copied  # the copy had begun
        assert not os.path.exists(os.path.join(__import__("tempfile").gettempdir(), str(fixed)))

    def test_interrupts_are_not_swallowed(self, core, tmp_path, monkeypatch):
        import shutil

        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr(shutil, "copytree", interrupted)
        with pytest.raises(KeyboardInterrupt):
            core.copyDirectoryToTemp(str(tmp_path))
