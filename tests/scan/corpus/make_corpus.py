#!/usr/bin/env python3
"""Writes the scanning corpus: mail messages of the common MIME forms, each with
CR LF line ends, and cases.txt, which names for each message a rule that must
match it and one that must not.

Run from this folder:  python3 make_corpus.py /path/to/testdata/tnef
The TNEF streams are the public samples of tests/filter/data (see SOURCES.md);
everything else here was written for this project.
"""
import base64
import os
import sys

TNEF = sys.argv[1] if len(sys.argv) > 1 else "../../filter/data"
HEAD = ("From: Alice Sender <alice@example.com>\n"
        "To: Bob Receiver <bob@example.org>\n"
        "Date: Tue, 08 Dec 2026 08:00:00 +0000\n"
        "Message-ID: <{id}@example.com>\n"
        "MIME-Version: 1.0\n")


def b64(data, width=76):
    text = base64.b64encode(data).decode()
    return "\n".join(text[i:i + width] for i in range(0, len(text), width))


def attach(ctype, name, data, disposition="attachment", extra=""):
    return (f"Content-Type: {ctype}; name=\"{name}\"\n"
            f"Content-Disposition: {disposition}; filename=\"{name}\"\n{extra}"
            "Content-Transfer-Encoding: base64\n\n" + b64(data) + "\n")


def text(body, ctype="text/plain; charset=us-ascii", cte="7bit"):
    return f"Content-Type: {ctype}\nContent-Transfer-Encoding: {cte}\n\n{body}\n"


def mixed(boundary, *parts, subtype="mixed", params=""):
    out = f"Content-Type: multipart/{subtype}; boundary=\"{boundary}\"{params}\n\nThis is a multi-part message in MIME format.\n"
    for p in parts:
        out += f"\n--{boundary}\n" + p
    return out + f"\n--{boundary}--\n"


def message(mid, subject, body):
    return HEAD.format(id=mid) + f"Subject: {subject}\n" + body


def inner(mid, subject, body):
    return message(mid, subject, body)


def rfc822(msg, name=None):
    head = "Content-Type: message/rfc822" + (f"; name=\"{name}\"" if name else "") + "\n"
    if name:
        head += f"Content-Disposition: attachment; filename=\"{name}\"\n"
    return head + "\n" + msg


def tnef(name):
    with open(os.path.join(TNEF, name), "rb") as f:
        return f.read()


samples = []  # (file, text, matching rule, rule that must not match, mode)


def add(file, msg, match, nomatch, mode="text"):
    samples.append((file, msg, match, nomatch, mode))


add("plain-ascii.eml", message(1, "Figures", text("The quarterly figures are attached to the next mail.")),
    "2|quarterly", "2|quarter")
add("subject-q-encoded.eml", message(2, "=?iso-8859-1?Q?Rechnung_f=FCr_M=E4rz?=", text("Siehe Anhang.")),
    "1|Rechnung", "1|Rech")
add("subject-b-encoded.eml", message(3, "=?UTF-8?B?" + base64.b64encode("Invoice 4711 – überfällig".encode()).decode() + "?=",
                                     text("Please pay.")), "1|invoice", "1|voice")
add("qp-soft-break.eml", message(4, "Notes", text(
    "This message is strictly confi=\ndential and meant for the board only; please do not forward it to any=\none.",
    "text/plain; charset=iso-8859-1", "quoted-printable")), "2|confidential", "2|secret")
add("qp-escapes.eml", message(5, "Zahlung", text(
    "Caf=E9 order: the payment of 3 =3D 3 items is due. R=E9sum=E9 follows.", "text/plain; charset=iso-8859-1",
    "quoted-printable")), "2|payment", "2|pay")
add("base64-body.eml", message(6, "Reset", text(b64(b"Your password was reset today. Call us if it was not you.\n"),
                                                 "text/plain; charset=utf-8", "base64")), "2|password", "2|passwords")
add("alternative.eml", message(7, "Join us", mixed("alt-7", text("Join our webinar on Friday."),
                                                   text("<html><body><p>Join our <b>webinar</b></p></body></html>",
                                                        "text/html; charset=us-ascii"), subtype="alternative")),
    "2|webinar", "2|seminar")
add("html-only.eml", message(8, "Offer", text("<html><body>To unsub=\nscribe click <a href=3D\"x\">here</a>.</body></html>",
                                              "text/html; charset=us-ascii", "quoted-printable")),
    "2|unsubscribe", "2|subscribe")
add("attach-exe.eml", message(9, "Update", mixed("mix-9", text("Run the attached update."),
                                                 attach("application/octet-stream", "setup.exe", b"MZ\x90\x00binary"))),
    "4|*exe", "4|*setup")
add("attach-rfc2231.eml", message(10, "CV", mixed("mix-10", text("My CV."),
                                                  "Content-Type: application/pdf\n"
                                                  "Content-Disposition: attachment; filename*=UTF-8''R%C3%A9sum%C3%A9%20final.pdf\n"
                                                  "Content-Transfer-Encoding: base64\n\n" + b64(b"%PDF-1.4 fake") + "\n")),
    "4|*pdf", "4|*doc")
add("attach-rfc2231-continued.eml", message(11, "Report", mixed("mix-11", text("The report."),
                                                                "Content-Type: application/vnd.ms-excel\n"
                                                                "Content-Disposition: attachment;\n"
                                                                " filename*0*=us-ascii'en'annual-report-2026-;\n"
                                                                " filename*1=\"final-version.xlsx\"\n"
                                                                "Content-Transfer-Encoding: base64\n\n" + b64(b"PK\x03\x04xl") + "\n")),
    "4|version", "4|annual-reports")
add("attach-rfc2047-name.eml", message(12, "Overview", mixed("mix-12", text("Overview attached."),
                                                             attach("application/msword", "=?UTF-8?B?" + base64.b64encode("Übersicht Q3.docx".encode()).decode() + "?=",
                                                                    b"PK\x03\x04doc"))), "4|*docx", "4|*xlsx")
add("attach-utf8-raw-name.eml", message(13, "Otchet", mixed("mix-13", text("Archive.", "text/plain; charset=utf-8", "8bit"),
                                                            attach("application/zip", "отчёт.zip", b"PK\x03\x04zip"))),
    "4|*zip", "4|*rar")
script = inner(114, "script", mixed("in-14", text("Here is the script."),
                                   attach("application/javascript", "payload.js", b"alert(1)")))
add("nested-rfc822.eml", message(14, "Fwd: script", mixed("mix-14", text("Forwarding the mail below."), rfc822(script))),
    "4|payload", "4|*vbs")
deep = inner(215, "doc", mixed("in-15b", text("The doc."), attach("application/msword", "deep.doc", b"\xd0\xcf\x11\xe0")))
middle = inner(115, "Fwd: doc", mixed("in-15a", text("Below."), rfc822(deep)))
add("nested-two-levels.eml", message(15, "Fwd: Fwd: doc", mixed("mix-15", text("See below."), rfc822(middle))),
    "4|*doc", "4|*docm")
add("nested-body.eml", message(16, "Fwd: news", mixed("mix-16", text("FYI."),
                                                      rfc822(inner(116, "news", text("The merger was announced this morning.")), "news.eml"))),
    "2|merger", "2|acquisition")
add("tnef-christmas.eml", message(17, "Party", mixed("mix-17", text("Pictures attached."),
                                                     attach("application/ms-tnef", "winmail.dat", tnef("christmas.tnef")))),
    "4|kitten", "4|puppy")
add("tnef-mimekit.eml", message(18, "Picture", mixed("mix-18", text("Picture."),
                                                     attach("application/vnd.ms-tnef", "winmail.dat", tnef("winmail-mimekit.tnef")))),
    "4|Picture", "4|*jpg")
add("tnef-panic.eml", message(19, "Images", mixed("mix-19", text("Images."),
                                                  attach("application/octet-stream", "WINMAIL.DAT", tnef("panic-teamwork.tnef")))),
    "4|image002", "4|image004")
add("related-inline-image.eml", message(20, "Newsletter", mixed("rel-20",
                                                                text("<html><img src=\"cid:logo@x\"></html>", "text/html; charset=us-ascii"),
                                                                attach("image/png", "logo.png", b"\x89PNG\r\n", "inline", "Content-ID: <logo@x>\n"),
                                                                subtype="related")), "4|logo", "4|banner")
add("text-attachment.eml", message(21, "Notes", mixed("mix-21", text("See notes."),
                                                      attach("text/plain", "notes.txt", b"The launch code is in the safe.\n"))),
    "2|launch", "2|lunch")
add("attach-content.eml", message(22, "Data", mixed("mix-22", text("Data file."),
                                                    attach("application/octet-stream", "data.bin", b"HEADER TROJANMARKER END\x00\x01\x02"))),
    "4|TROJANMARKER", "4|TROJANMARKERS", "all")
add("and-proximity.eml", message(23, "alpha beta gamma", text("Nothing else.")),
    "1|alpha|beta|10|1", "1|alpha|gamma|5|1")
add("digest.eml", message(24, "Digest", mixed("dig-24",
                                              "\n" + inner(124, "one", text("First.")),
                                              "\n" + inner(224, "two", mixed("in-24", text("Second."),
                                                                             attach("text/csv", "report.csv", b"a,b\n1,2\n"))),
                                              subtype="digest")), "4|report", "4|reports")
add("signed.eml", message(25, "Signed", mixed("sig-25", text("Signed text."),
                                              "Content-Type: application/pgp-signature; name=\"signature.asc\"\n\n"
                                              "-----BEGIN PGP SIGNATURE-----\nabc\n-----END PGP SIGNATURE-----\n",
                                              subtype="signed", params="; protocol=\"application/pgp-signature\"; micalg=pgp-sha256")),
    "4|*asc", "4|*sig")
add("iso-2022-jp.eml", message(26, "=?ISO-2022-JP?B?GyRCJUclOCUnJS8lSBsoQg==?= Project", text("Kick-off.")),
    "1|project", "1|projects")
add("folded-subject.eml", message(27, "Your order of many things,\n including the shipment\n of December", text("Thanks.")),
    "1|shipment", "1|shipping")
add("latin1-8bit.eml", message(28, "Café", text("Café au lait special offer today.".encode("latin-1").decode("latin-1"),
                                                 "text/plain; charset=iso-8859-1", "8bit")), "2|offer", "2|offers")
add("unnamed-attachment.eml", message(29, "Contract", mixed("mix-29", text("The contract is attached."),
                                                            "Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n" + b64(b"%PDF-1.7") + "\n")),
    "2|contract", "4|*pdf")
add("calendar.eml", message(30, "Meeting", mixed("mix-30", text("Invitation."),
                                                 attach("text/calendar", "invite.ics", b"BEGIN:VCALENDAR\nEND:VCALENDAR\n"))),
    "4|*ics", "4|*ical")
add("delivery-status.eml", message(31, "Undelivered Mail Returned to Sender", mixed("rep-31",
                                                                                  text("Your message could not be delivered."),
                                                                                  "Content-Type: message/delivery-status\n\nReporting-MTA: dns; mx.example.org\n\nFinal-Recipient: rfc822; nobody@example.org\nAction: failed\nStatus: 5.1.1\n",
                                                                                  rfc822(inner(131, "original", mixed("in-31", text("Original."),
                                                                                                                      attach("application/msword", "original.doc", b"\xd0\xcf")))),
                                                                                  subtype="report", params="; report-type=delivery-status")),
    "4|original", "4|bounce")
add("inline-photo-case.eml", message(32, "Photo", mixed("mix-32", text("A photo."),
                                                        attach("image/jpeg", "photo.JPG", b"\xff\xd8\xff", "inline"))),
    "4|*jpg", "4|*png")
add("upper-case-headers.eml", "FROM: x@example.com\nTO: y@example.com\nSUBJECT: Archive\nMIME-VERSION: 1.0\n" +
    "CONTENT-TYPE: MULTIPART/MIXED; BOUNDARY=\"UP-33\"\n\n--UP-33\nCONTENT-TYPE: TEXT/PLAIN\n\nArchive.\n--UP-33\n"
    "CONTENT-TYPE: APPLICATION/ZIP; NAME=\"BACKUP.ZIP\"\nCONTENT-TRANSFER-ENCODING: BASE64\n\n" + b64(b"PK\x03\x04") + "\n--UP-33--\n",
    "4|backup", "4|*rar")
add("empty-body.eml", message(34, "Ping", ""), "1|ping", "2|ping")

# The public samples' lines (public/, see SOURCES.md) are kept as they stand.
public = []
if os.path.exists("cases.txt"):
    with open("cases.txt", encoding="utf-8") as old:
        public = [line for line in old if line.startswith(("public/", "# public"))]

with open("cases.txt", "w", newline="\n", encoding="utf-8") as cases:
    cases.write("# file\tmust match\tmust not match\tcontents searched (text: text parts only; all: every part)\n")
    cases.write("# a rule: flags|primary[|secondary|proximity|and]; flags 1 subject, 2 body, 4 attachments\n")
    for file, msg, match, nomatch, mode in samples:
        with open(file, "wb") as f:
            f.write(msg.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8"))
        cases.write(f"{file}\t{match}\t{nomatch}\t{mode}\n")
    cases.writelines(public)
print(len(samples), "samples")
