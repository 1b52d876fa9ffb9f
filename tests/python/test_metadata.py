"""The installed distribution's metadata, as installers read it."""

from importlib import metadata


def test_license_is_shown_by_old_and_new_pips():
    # pip 23 prints only the License field; a License-Expression alone leaves "License:" empty.
    meta = metadata.metadata("tessaryn")
    assert meta["License"] == "MIT"
    assert "License :: OSI Approved :: MIT License" in meta.get_all("Classifier")
    assert any(path.name == "LICENSE" for path in metadata.files("tessaryn"))
