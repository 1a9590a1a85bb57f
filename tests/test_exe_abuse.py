"""Abuse controls configured in the ini file: allow-list, Reply-To,
honeypot and rate limit, against a real SMTP receiver."""
import os
import re
from concurrent.futures import ThreadPoolExecutor
from email import message_from_bytes
from urllib.parse import urlencode

import pytest

BASE = """smtp 127.0.0.1:{port}
logging debug
headerline From: "Site" <forms@example.com>
use_submitted_variable_for_headerline To:
headerline Subject: Contact
use_submitted_variable_for_bodycontent Comments:
"""


def ini(receiver, extra=""):
    return BASE.format(port=receiver.port) + extra


def post(site, env=None, **fields):
    return site.run(urlencode(fields).encode(), env=env)


def test_recipient_outside_allow_list_gets_nothing(site, receiver):
    site.write_ini(ini(receiver, "allowed_recipient sales@example.com\n"
                                 "allowed_recipient @example.org\n"))
    p = post(site, **{"To:": "victim@spam.net", "Comments:": "hi"})
    assert b"email NOT sent." in p.stdout
    assert ("recipient (victim@spam.net) is not an allowed_recipient: "
            "no mail sent") in site.log_messages()
    p = post(site, **{"To:": "SALES@Example.com", "Comments:": "hi"})
    assert b"email sent." in p.stdout
    assert [m["rcpt"] for m in receiver.wait_for(1)] == [["SALES@Example.com"]]


def test_domain_entry_matches_that_domain_only(site, receiver):
    site.write_ini(ini(receiver, "allowed_recipient @example.com\n"))
    for to, sent in [("anyone@example.com", True),
                     ("x@sub.example.com", False),
                     ("x@example.com.evil.net", False)]:
        p = post(site, **{"To:": to, "Comments:": "hi"})
        assert (b"email sent." in p.stdout) == sent, to
    assert [m["rcpt"] for m in receiver.wait_for(1)] == [["anyone@example.com"]]


def test_reply_to_from_form_is_written_but_not_a_recipient(site, receiver):
    site.write_ini(ini(receiver, "reply_to_field Email:\n"))
    post(site, **{"To:": "owner@example.com", "Email:": "Joe <joe@visitor.net>",
                  "Comments:": "hi"})
    [m] = receiver.wait_for(1)
    assert m["rcpt"] == ["owner@example.com"]
    msg = message_from_bytes(m["data"])
    assert msg["Reply-To"] == "joe@visitor.net"
    assert msg["From"].strip() == '"Site" <forms@example.com>'
    head = m["data"].split(b"\r\n\r\n")[0]
    assert head.index(b"Reply-To:") < head.index(b"X-TARVELO:")


def test_reply_to_without_address_writes_no_line(site, receiver):
    site.write_ini(ini(receiver, "reply_to_field Email:\n"))
    post(site, **{"To:": "owner@example.com", "Email:": "no address",
                  "Comments:": "hi"})
    [m] = receiver.wait_for(1)
    assert b"Reply-To" not in m["data"]


def test_filled_honeypot_shows_success_and_sends_nothing(site, receiver):
    site.write_ini(ini(receiver, "honeypot_field website\n"))
    p = post(site, **{"To:": "owner@example.com", "website": "http://spam",
                      "Comments:": "buy"})
    assert b"email sent." in p.stdout
    assert p.returncode == 0
    assert any(m.startswith("honeypot field (website) was filled in")
               for m in site.log_messages())
    p = post(site, **{"To:": "owner@example.com", "website": "",
                      "Comments:": "real"})
    assert len(receiver.wait_for(1)) == 1
    assert b"real" in receiver.messages[0]["data"]


def test_rate_limit_per_client_address(site, receiver):
    site.write_ini(ini(receiver, "rate_limit 5\n"))
    pages = []
    for i in range(8):
        pages.append(post(site, env={"REMOTE_ADDR": "192.0.2.1"},
                          **{"To:": "o@example.com", "Comments:": f"a{i}"}))
    for i in range(2):
        pages.append(post(site, env={"REMOTE_ADDR": "192.0.2.2"},
                          **{"To:": "o@example.com", "Comments:": f"b{i}"}))
    sent = [b"email sent." in p.stdout for p in pages]
    assert sent == [True] * 5 + [False] * 3 + [True] * 2
    assert len(receiver.wait_for(7)) == 7
    assert any("rate_limit of 5 per hour reached for client (192.0.2.1)" in m
               for m in site.log_messages())


def test_runs_without_remote_addr_are_not_limited(site, receiver):
    site.write_ini(ini(receiver, "rate_limit 1\n"))
    for i in range(3):
        post(site, **{"To:": "o@example.com", "Comments:": str(i)})
    assert len(receiver.wait_for(3)) == 3


def test_concurrent_runs_keep_exact_counts(site, receiver):
    site.write_ini(ini(receiver, "rate_limit 10\nlogging errors\n"))

    def run(i):
        return post(site, env={"REMOTE_ADDR": "198.51.100.7"},
                    **{"To:": "o@example.com", "Comments:": f"c{i}"})

    with ThreadPoolExecutor(max_workers=32) as pool:
        pages = list(pool.map(run, range(32)))
    assert sum(b"email sent." in p.stdout for p in pages) == 10
    receiver.wait_for(10)
    assert len(receiver.messages) == 10


def test_state_file_beside_the_ini_is_private(site, receiver):
    site.write_ini(ini(receiver, "rate_limit 1\n"))
    post(site, env={"REMOTE_ADDR": "192.0.2.9"},
         **{"To:": "o@example.com", "Comments:": "x"})
    # It holds visitors' addresses.
    assert os.stat(os.path.join(site.folder, "mailer.rate")).st_mode & 0o777 \
        == 0o600


# What stands at mailer.rate and at <TMPDIR>/tarvelo, and how many of six
# posts from one client with "rate_limit 2" get through.
STATE_SHAPES = [
    # (label, beside, private folder, sent, counts kept in the fallback)
    ("folder beside", "folder", None, 2, True),
    ("link beside", "link", None, 2, True),
    ("nowhere to count", "folder", "file", 0, False),
    ("fallback is a link", "folder", "link", 0, False),
    ("fallback open to others", "folder", "0755", 0, False),
    ("fallback of another user", "folder", "nobody", 0, False),
]


@pytest.mark.parametrize("label,beside,private,sent,fallback", STATE_SHAPES,
                         ids=[s[0] for s in STATE_SHAPES])
def test_rate_limit_holds_when_the_state_file_cannot_be_beside(
        site, receiver, tmp_path, label, beside, private, sent, fallback):
    temp = tmp_path / "tmp"
    temp.mkdir(mode=0o1777)
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    rate = os.path.join(site.folder, "mailer.rate")
    if beside == "folder":
        os.mkdir(rate)
    else:
        os.symlink(victim, rate)
    if private == "file":
        (temp / "tarvelo").write_text("")
    elif private == "link":
        other = tmp_path / "other"
        other.mkdir(mode=0o700)
        os.symlink(other, temp / "tarvelo")
    elif private == "0755":
        (temp / "tarvelo").mkdir()
        os.chmod(temp / "tarvelo", 0o755)
    elif private == "nobody":
        (temp / "tarvelo").mkdir(mode=0o700)
        os.chown(temp / "tarvelo", 65534, 65534)
    site.write_ini(ini(receiver, "rate_limit 2\n"))
    pages = [post(site, env={"REMOTE_ADDR": "192.0.2.9", "TMPDIR": str(temp)},
                  **{"To:": "o@example.com", "Comments:": str(i)})
             for i in range(6)]
    assert [b"email sent." in p.stdout for p in pages] == \
        [True] * sent + [False] * (6 - sent)
    if sent:
        assert len(receiver.wait_for(sent)) == sent
    assert victim.read_text() == "precious\n"
    if fallback:
        folder = temp / "tarvelo"
        assert folder.stat().st_mode & 0o777 == 0o700
        (state,) = list(folder.iterdir())
        assert re.fullmatch(r"[0-9a-f]{16}\.rate", state.name)
        assert state.stat().st_mode & 0o777 == 0o600
        assert state.read_text().count(" 192.0.2.9\n") == 2
    else:
        assert any(m.startswith("rate_limit state file (" + rate +
                                ") cannot be used (") and
                   m.endswith("): no mail sent") for m in site.log_messages())


# Pairs of clients with "rate_limit 1": whether the second is the same
# client as the first (then refused).
CLIENT_PAIRS = [
    ("2001:db8:0:1::1", "2001:db8:0:1:aaaa::2", True),
    ("2001:db8:0:1::1", "2001:db8:0:2::1", False),
    ("::ffff:192.0.2.1", "192.0.2.1", True),
    ("192.0.2.1", "::ffff:192.0.2.1", True),
    ("192.0.2.1", "192.0.2.2", False),
]


@pytest.mark.parametrize("first,second,same", CLIENT_PAIRS)
def test_rate_limit_counts_ipv6_by_its_64_prefix(site, receiver, first,
                                                   second, same):
    site.write_ini(ini(receiver, "rate_limit 1\n"))
    pages = [post(site, env={"REMOTE_ADDR": client},
                  **{"To:": "o@example.com", "Comments:": client})
             for client in (first, second)]
    assert b"email sent." in pages[0].stdout
    assert (b"email sent." in pages[1].stdout) == (not same)


@pytest.mark.parametrize("body,sent", [
    (b"website=&website=http%3A%2F%2Fspam", False),
    (b"website=http%3A%2F%2Fspam&website=", False),
    (b"website=&website=", True),
])
def test_every_copy_of_the_honeypot_must_be_empty(site, receiver, body, sent):
    site.write_ini(ini(receiver, "honeypot_field website\n"))
    p = site.run(b"To%3A=o%40example.com&Comments%3A=hi&" + body)
    assert b"email sent." in p.stdout  # a robot learns nothing either way
    filled = any(m.startswith("honeypot field (website) was filled in")
                 for m in site.log_messages())
    assert filled == (not sent)
    if sent:
        assert len(receiver.wait_for(1)) == 1


def test_without_keywords_nothing_is_checked(site, receiver):
    site.write_ini(ini(receiver))
    post(site, env={"REMOTE_ADDR": "192.0.2.3"},
         **{"To:": "anyone@anywhere.net", "Comments:": "x"})
    assert len(receiver.wait_for(1)) == 1
    assert not os.path.exists(os.path.join(site.folder, "mailer.rate"))
