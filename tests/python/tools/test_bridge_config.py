"""The bridge's two small contracts: the description every sample carries, and a Zenoh
configuration that reaches only the endpoints it is given."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

zenoh = pytest.importorskip("zenoh")

from quillmere_tools.bridge import EntryDescription, SessionOptions  # noqa: E402


def test_description_round_trips_with_a_frame_type_record() -> None:
    entry = EntryDescription(2**64 - 1, "f64", 1 << 20, 3, frame_type=b"\x01schema")
    assert EntryDescription.decode(entry.encode()) == entry
    assert EntryDescription.decode(entry.encode())._replace(frame_type=b"").geometry == \
        ("f64", 1 << 20, 3)


def test_per_entry_encoder_and_matcher_agree_with_the_full_codec() -> None:
    template = EntryDescription(0, "u8", 64, 16, frame_type=b"record")
    encoded = template.encoder()(12345)
    assert encoded == template._replace(entry_seq=12345).encode()
    match = template.matcher()
    assert match(encoded) == 12345
    for other in (template._replace(entry_length=72), template._replace(dtype="f64"),
                  template._replace(frame_type=b"")):
        assert match(other.encoder()(12345)) is None


@pytest.mark.parametrize("data", [b"", b"QMBR", b"XXXX" + bytes(32), b"QMBR\x02" + bytes(31)])
def test_foreign_or_short_descriptions_are_refused(data: bytes) -> None:
    with pytest.raises(ValueError):
        EntryDescription.decode(data)


def settings(config: zenoh.Config, *keys: str) -> list[object]:
    return [json.loads(config.get_json(key)) for key in keys]


SCOUTING = ("scouting/multicast/enabled", "scouting/gossip/enabled")


def test_default_session_only_dials_what_it_is_given() -> None:
    config = SessionOptions(connect=("tcp/127.0.0.1:7000",)).zenoh_config()
    assert settings(config, *SCOUTING) == [False, False]
    assert settings(config, "connect/endpoints", "listen/endpoints") == \
        [["tcp/127.0.0.1:7000"], []]


def test_scouting_only_when_asked() -> None:
    assert settings(SessionOptions(scout=True).zenoh_config(), *SCOUTING) == [True, True]


def test_config_file_is_used_but_cannot_turn_scouting_on(tmp_path: Path) -> None:
    path = tmp_path / "zenoh.json5"
    path.write_text('{ listen: { endpoints: ["tcp/127.0.0.1:7001"] },'
                    '  scouting: { multicast: { enabled: true } },'
                    '  queries_default_timeout: 1234 }')
    config = SessionOptions(config=path).zenoh_config()
    assert settings(config, "listen/endpoints", "queries_default_timeout", *SCOUTING) == \
        [["tcp/127.0.0.1:7001"], 1234, False, False]
    # A file without listen endpoints gets none, not Zenoh's listen-everywhere default.
    path.write_text("{ queries_default_timeout: 1234 }")
    assert settings(SessionOptions(config=path).zenoh_config(), "listen/endpoints") == [[]]
    path.write_text('{ listen: { endpoints: ["tcp/127.0.0.1:7001"] } }')
    # Endpoints given directly win over the file's.
    config = SessionOptions(listen=("tcp/127.0.0.1:7002",), config=path).zenoh_config()
    assert settings(config, "listen/endpoints") == [["tcp/127.0.0.1:7002"]]


def test_an_endpoint_string_is_not_taken_for_a_list_of_letters() -> None:
    with pytest.raises(TypeError, match="sequence of endpoints"):
        SessionOptions.of("tcp/127.0.0.1:7000", (), None, False)
