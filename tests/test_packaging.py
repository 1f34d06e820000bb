"""The wheel and its installation, checked in `make test`'s wheel step.

That step builds the wheel with pip, installs it into a fresh virtual
environment and runs the whole suite there with TOVREN_WHEEL naming the wheel.
In a run against the source tree there is no wheel, and these tests skip.
"""

import base64
import csv
import email.parser
import hashlib
import io
import os
import pathlib
import re
import sys
import sysconfig
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
WHEEL = os.environ.get("TOVREN_WHEEL")

pytestmark = pytest.mark.skipif(
    not WHEEL, reason="no wheel under test: TOVREN_WHEEL is set by `make test` (step test-wheel)"
)

EXTENSION = "tovren/_libs/properties" + sysconfig.get_config_var("EXT_SUFFIX")
PACKAGE_FILES = {
    "tovren/__init__.py",
    "tovren/_libs/__init__.py",
    EXTENSION,
    "tovren/_libs/properties.pyi",
    "tovren/_libs/py.typed",
}
# Files that must be byte-identical to their source-tree originals.
COPIED_SOURCES = sorted(PACKAGE_FILES - {EXTENSION})


def expected_tag():
    """The tag of a wheel for the running interpreter: cp314-cp314, cp314-cp314t or cp315-cp315 (and d for debug)."""
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}{sys.abiflags}-{platform}"


@pytest.fixture(scope="module")
def wheel():
    with zipfile.ZipFile(WHEEL) as archive:
        yield archive


@pytest.fixture(scope="module")
def dist_info(wheel):
    (folder,) = {name.split("/", 1)[0] for name in wheel.namelist() if ".dist-info/" in name}
    return folder


def read_metadata(wheel, dist_info, name):
    return email.parser.Parser().parsestr(wheel.read(f"{dist_info}/{name}").decode())


def installed_root():
    import tovren

    return pathlib.Path(tovren.__file__).resolve().parent.parent


def test_wheel_holds_exactly_the_package(wheel, dist_info):
    names = set(wheel.namelist())
    assert names - {n for n in names if n.startswith(dist_info + "/")} == PACKAGE_FILES
    assert {n for n in names if n.startswith(dist_info + "/")} == {
        f"{dist_info}/{name}" for name in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE")
    }


def test_wheel_name_and_tag_match_the_interpreter(wheel, dist_info):
    info = read_metadata(wheel, dist_info, "WHEEL")
    assert info.get_all("Tag") == [expected_tag()]
    assert info["Root-Is-Purelib"] == "false"
    assert pathlib.Path(WHEEL).name.endswith(f"-{expected_tag()}.whl")


def test_metadata(wheel, dist_info):
    metadata = read_metadata(wheel, dist_info, "METADATA")
    assert metadata["Name"] == "tovren-properties"
    assert metadata["Requires-Python"] in (">=3.14,<3.16", "<3.16,>=3.14")
    assert "Requires-Dist" not in metadata  # only the standard library is needed
    assert metadata["Summary"]
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    # The long description is the package page, shown as Markdown by package
    # indexes: written for users, it says how to install and has no make
    # command of the developers' guide.
    assert metadata["Description-Content-Type"] == "text/markdown"
    description = metadata.get_payload()
    assert description.strip() == (ROOT / "docs/package-page.md").read_text().strip()
    assert "\npip install tovren-properties\n" in description
    assert not re.search(r"(^|`)\s*make\b", description, re.MULTILINE)
    # The version is the package's own.
    version = re.search(r'^__version__ = "(.+)"$', (ROOT / "tovren/__init__.py").read_text(), re.MULTILINE)
    assert metadata["Version"] == version[1]


def test_licence_is_the_project_licence(wheel, dist_info):
    assert wheel.read(f"{dist_info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()


def test_record_lists_every_file_with_its_hash(wheel, dist_info):
    rows = list(csv.reader(io.StringIO(wheel.read(f"{dist_info}/RECORD").decode())))
    record = {path: (digest, size) for path, digest, size in rows}
    assert set(record) == set(wheel.namelist())
    for path, (digest, size) in record.items():
        if path == f"{dist_info}/RECORD":
            assert (digest, size) == ("", "")
            continue
        data = wheel.read(path)
        algorithm, _, encoded = digest.partition("=")
        assert algorithm == "sha256"
        expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert (encoded, int(size)) == (expected, len(data)), path


def test_tests_import_the_installed_package():
    import tovren._libs.properties as properties

    site = {pathlib.Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")}
    location = pathlib.Path(properties.__file__).resolve()
    assert any(folder in location.parents for folder in site), location
    assert ROOT / "tovren" not in location.parents


@pytest.mark.parametrize("name", sorted(PACKAGE_FILES))
def test_installed_file_is_the_wheel_member(wheel, name):
    assert (installed_root() / name).read_bytes() == wheel.read(name)


@pytest.mark.parametrize("name", COPIED_SOURCES)
def test_wheel_member_is_the_current_source(wheel, name):
    assert wheel.read(name) == (ROOT / name).read_bytes()


def test_no_sources_installed():
    assert not (installed_root() / "tovren/_libs/properties").exists()
