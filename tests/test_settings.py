"""The settings readers: solver paths and the data and projects directories."""

from collections import UserDict, UserList

import pytest
from hypothesis import given, settings, strategies as st


def family(name, *sub_families, **extra):
    return {"Name": name, "SubFamilies": list(sub_families), **extra}


def sub_family(name, *entries):
    return {"Name": name, "Settings": [{"Name": n, "Value": v} for n, v in entries]}


def settings_of(*families):
    return {"Version": 3, "Families": list(families)}


def reference_walk(tree, family_name, setting_name):
    """The walk as a plain loop: every entry visited, the last match wins."""
    found = None
    for fam in tree["Families"]:
        if fam["Name"] == family_name:
            for sub in fam["SubFamilies"]:
                if sub["Name"] == "PATH":
                    for entry in sub["Settings"]:
                        if entry["Name"] == setting_name:
                            found = entry["Value"]
    return None if found == "" else found


class TestFindSolverPaths:
    def test_both_paths_found(self, core):
        tree = settings_of(
            family("VAZER", sub_family("PATH", ("WINDOWS SOLVER PATH", r"C:\vazer.exe"))),
            family("DIROZIZIVA", sub_family("PATH", ("SOLVER PATH", r"C:\dz.exe"))),
        )
        assert core.FindSolverPaths(tree) == (r"C:\vazer.exe", r"C:\dz.exe")

    def test_vazer_needs_its_own_setting_name(self, core):
        tree = settings_of(family("VAZER", sub_family("PATH", ("SOLVER PATH", "x"))))
        assert core.FindSolverPaths(tree) == (None, None)

    def test_last_match_wins_and_names_are_case_sensitive(self, core):
        tree = settings_of(
            family("DIROZIZIVA", sub_family("PATH", ("SOLVER PATH", "first"))),
            family("vazer", sub_family("PATH", ("WINDOWS SOLVER PATH", "lower"))),
            family("DIROZIZIVA", sub_family("PATH", ("SOLVER PATH", "second"), ("SOLVER PATH", "third"))),
        )
        assert core.FindSolverPaths(tree) == (None, "third")

    @pytest.mark.parametrize("value,expected", [("", None), (" ", " "), (0, 0), (None, None)])
    def test_only_the_empty_text_means_not_defined(self, core, value, expected):
        tree = settings_of(family("VAZER", sub_family("PATH", ("WINDOWS SOLVER PATH", value))))
        assert core.FindSolverPaths(tree)[0] == expected

    def test_unrelated_families_need_no_sub_families(self, core):
        tree = settings_of({"Name": "TUBROLIS"}, family("VAZER", sub_family("PATH", ("WINDOWS SOLVER PATH", "v"))))
        assert core.FindSolverPaths(tree) == ("v", None)

    @pytest.mark.parametrize(
        "tree,missing",
        [
            ({}, "Families"),
            ({"Families": [{}]}, "Name"),
            ({"Families": [{"Name": "VAZER"}]}, "SubFamilies"),
            ({"Families": [family("VAZER", {})]}, "Name"),
            ({"Families": [family("VAZER", {"Name": "PATH"})]}, "Settings"),
            ({"Families": [family("VAZER", {"Name": "PATH", "Settings": [{}]})]}, "Name"),
            ({"Families": [family("VAZER", {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH"}]})]}, "Value"),
            # The Vazer walk runs first, so its error comes first.
            ({"Families": [{"Name": "DIROZIZIVA"}, {"Name": "VAZER"}]}, "SubFamilies"),
        ],
    )
    def test_missing_keys_raise_key_error_naming_the_key(self, core, tree, missing):
        with pytest.raises(KeyError) as error:
            core.FindSolverPaths(tree)
        assert error.value.args == (missing,)

    def test_wrong_kinds_raise_type_error(self, core):
        with pytest.raises(TypeError):
            core.FindSolverPaths({"Families": 5})
        with pytest.raises(TypeError):
            core.FindSolverPaths([])

    def test_any_mapping_and_sequence_work(self, core):
        tree = UserDict(
            Families=UserList([UserDict(Name="VAZER", SubFamilies=(UserDict(Name="PATH", Settings=iter(
                [UserDict(Name="WINDOWS SOLVER PATH", Value="v")])),))])
        )
        assert core.FindSolverPaths(tree) == ("v", None)

    def test_names_compare_with_their_own_equality(self, core):
        class Loose(str):
            def __eq__(self, other):
                return other.upper() == str.upper(self)

            __hash__ = str.__hash__

        tree = settings_of(family(Loose("vazer"), sub_family("PATH", ("WINDOWS SOLVER PATH", "v"))))
        assert core.FindSolverPaths(tree) == ("v", None)

    def test_a_list_growing_during_the_walk_is_walked_to_its_end(self, core):
        families = []

        class Growing(str):
            def __eq__(self, other):
                if len(families) < 3:
                    families.append({"Name": Growing("X")})
                return False

            __hash__ = str.__hash__

        families.append({"Name": Growing("X")})
        core.FindSolverPaths({"Families": families})
        assert len(families) == 3


names = st.sampled_from(["VAZER", "DIROZIZIVA", "PATH", "SOLVER PATH", "WINDOWS SOLVER PATH", "other", ""])
entries = st.fixed_dictionaries({"Name": names, "Value": st.sampled_from(["", "a", "b", " "])})
subs = st.fixed_dictionaries({"Name": names, "Settings": st.lists(entries, max_size=4)})
families = st.fixed_dictionaries({"Name": names, "SubFamilies": st.lists(subs, max_size=3)})
trees = st.fixed_dictionaries({"Families": st.lists(families, max_size=5)})


@settings(max_examples=300, deadline=None)
@given(trees)
def test_walk_matches_a_plain_model(tree):
    from veltrane_computer import veltrane_core

    expected = (reference_walk(tree, "VAZER", "WINDOWS SOLVER PATH"), reference_walk(tree, "DIROZIZIVA", "SOLVER PATH"))
    assert veltrane_core.FindSolverPaths(tree) == expected


class TestFindDataProjectPaths:
    def test_values_returned_as_stored(self, core):
        assert core.FindDataProjectPaths({"CurrentDatasDirectory": "", "CurrentProjectsDirectory": 7}) == ("", 7)

    def test_data_directory_is_looked_up_first(self, core):
        with pytest.raises(KeyError) as error:
            core.FindDataProjectPaths({})
        assert error.value.args == ("CurrentDatasDirectory",)
        with pytest.raises(KeyError) as error:
            core.FindDataProjectPaths({"CurrentDatasDirectory": "d"})
        assert error.value.args == ("CurrentProjectsDirectory",)
