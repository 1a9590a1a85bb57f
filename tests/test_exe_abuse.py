"""Abuse controls configured in the ini file: allow-list, Reply-To,
honeypot and rate limit, against a real SMTP receiver."""
from concurrent.futures import ThreadPoolExecutor
from email import message_from_bytes
from urllib.parse import urlencode

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


def test_unusable_state_file_never_blocks_mail(site, receiver):
    import os
    os.mkdir(os.path.join(site.folder, "mailer.rate"))
    site.write_ini(ini(receiver, "rate_limit 1\n"))
    for i in range(2):
        post(site, env={"REMOTE_ADDR": "192.0.2.9"},
             **{"To:": "o@example.com", "Comments:": str(i)})
    assert len(receiver.wait_for(2)) == 2
    assert any("cannot be opened; mail not limited" in m
               for m in site.log_messages())


def test_without_keywords_nothing_is_checked(site, receiver):
    site.write_ini(ini(receiver))
    post(site, env={"REMOTE_ADDR": "192.0.2.3"},
         **{"To:": "anyone@anywhere.net", "Comments:": "x"})
    assert len(receiver.wait_for(1)) == 1
    import os
    assert not os.path.exists(os.path.join(site.folder, "mailer.rate"))
