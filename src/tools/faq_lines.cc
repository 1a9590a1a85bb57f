// The questions and answers of the FAQ page.
//
// Layout: "[q]" alone on a line, one question line, "[a]" alone on a line,
// then the answer lines. Question lines and lines between "[pre]" and
// "[/pre]" are printed as HTML as they stand; every other answer line is
// escaped. No line may hold two vertical bars in a row, a percent sign or a
// line feed: a pre block that shows a page token writes each bar as &#124;.
#include "tools/faq.h"

namespace tarvelo {

const char* const faq_lines[] = {
    "[q]",
    "What is TARVELO?",
    "[a]",
    "TARVELO turns an HTML form on your web site into an e-mail. The form "
    "posts to it, it composes one message from the "
    "fields and from the lines of its ini file, hands the message to an SMTP "
    "server itself, and answers the visitor with "
    "your success page or your failure page.",
    "It is one executable run as a CGI program: no scripting language, no "
    "database and no mail program on the web server "
    "are needed. Everything it does is set in one plain-text ini file beside "
    "it, and every step can be traced in a log "
    "file beside it.",
    "",
    "[q]",
    "Which mail server should it hand the mail to, and can it use my mail "
    "provider?",
    "[a]",
    "Any SMTP server that takes the mail: the line smtp followed by the host "
    "names it, and a colon and a number after the "
    "host choose another port than 25 (for example smtp mail.example.com:2525). "
    "A relay on the web server itself (Postfix "
    "or Exim on 127.0.0.1) is the fastest: the visitor waits only for the "
    "relay on the same machine.",
    "A mail provider or hosting relay that wants TLS and a login is reached "
    "directly with four more lines. Submission on "
    "port 587 with STARTTLS:",
    "[pre]",
    "smtp smtp.example.com:587",
    "smtp_tls starttls",
    "smtp_user forms@example.com",
    "smtp_password the-password",
    "[/pre]",
    "or port 465 with TLS from the first byte: smtp smtp.example.com:465 and "
    "smtp_tls implicit. The server's certificate "
    "is always checked against the host of the smtp line, with the system's "
    "CA certificates; a relay with a certificate "
    "of its own is trusted with smtp_tls_ca /path/to/its-cert.pem. The "
    "password is sent only inside TLS (AUTH PLAIN, or "
    "AUTH LOGIN when the server offers only that) and never appears in the "
    "log. When it fails, the log says why in words: "
    "certificate not trusted, host name mismatch, handshake failed, STARTTLS "
    "not offered, authentication refused.",
    "",
    "[q]",
    "How do I install it on a Linux web server?",
    "[a]",
    "Copy the executable into the folder where your web server runs CGI "
    "programs, under the name your form will call, "
    "make it executable, put its ini file beside it, and give the web server's "
    "user (www-data on Debian) the files it "
    "must write. The executable is linked statically and needs no libraries.",
    "[pre]",
    "cp tarvelo /usr/lib/cgi-bin/mailer.cgi",
    "chmod 755 /usr/lib/cgi-bin/mailer.cgi",
    "cd /usr/lib/cgi-bin",
    "./mailer.cgi -help            (answer y to get a demonstration "
    "mailer.ini)",
    "./mailer.cgi -blanklog        (creates an empty mailer.log)",
    "touch mailer.rate             (only with rate_limit)",
    "chown www-data mailer.log mailer.rate",
    "chmod 600 mailer.log mailer.rate",
    "chgrp www-data mailer.ini &amp;&amp; chmod 640 mailer.ini",
    "[/pre]",
    "Then edit mailer.ini (at least the To: and From: lines and the two page "
    "settings) and point your form at "
    "/cgi-bin/mailer.cgi.",
    "The web server's user must be able to write these files, and nobody else "
    "should read them: mailer.log (what visitors typed), mailer.rate with "
    "rate_limit (visitors' addresses; made 0600) and the spool_folder, when "
    "set (whole messages; files made 0600). mailer.ini must be readable by "
    "the web server's user, and by no one else when it holds smtp_password. "
    "Leave the folder and everything else in it to root: whoever may create "
    "files there may also plant links.",
    "When mailer.rate cannot be made or used beside the ini, the counts are "
    "kept in a private folder of the system's temporary folder, "
    "$TMPDIR/tarvelo or /tmp/tarvelo (made 0700, used only when it belongs "
    "to the web server's user and no one else may read it), one file per "
    "form. Debian's Apache runs with PrivateTmp=true: its /tmp is its own, "
    "so a shell does not see /tmp/tarvelo, and it is emptied when Apache "
    "restarts. When neither place can be used, a form with rate_limit "
    "refuses every message and says why in the log.",
    "",
    "[q]",
    "How does it find its ini file and its log file?",
    "[a]",
    "It takes the path by which the web server started it and adds .ini (or "
    ".log). If the file name (the part after the last / or \\) holds .exe, "
    "the first .exe in it becomes .ini and everything behind it is dropped; "
    "the same then happens to the first .cgi. The folders are never "
    "searched. The files therefore lie beside the executable and carry its "
    "name:",
    "[pre]",
    "/usr/lib/cgi-bin/mailer.cgi    reads /usr/lib/cgi-bin/mailer.ini, logs to "
    "/usr/lib/cgi-bin/mailer.log",
    "/usr/lib/cgi-bin/mailer        reads /usr/lib/cgi-bin/mailer.ini, logs to "
    "/usr/lib/cgi-bin/mailer.log",
    "/usr/lib/cgi-bin/MAILER.CGI    reads /usr/lib/cgi-bin/MAILER.CGI.ini",
    "/srv/site.cgi/mailer.cgi       reads /srv/site.cgi/mailer.ini",
    "[/pre]",
    "The match is case-sensitive. A web server that starts the program by its "
    "bare name runs it in the script's folder, where the files are found as "
    "well. The log lines \"Ini file == \" and \"Log file == \" at the start "
    "of every run show the paths used.",
    "",
    "[q]",
    "Can one installation serve several forms?",
    "[a]",
    "Yes. Give each form its own copy or hard link of the executable under its "
    "own name: contact.cgi reads contact.ini "
    "and logs to contact.log, order.cgi reads order.ini and logs to order.log. "
    "Each form then has its own recipients, "
    "pages and log.",
    "",
    "[q]",
    "How do I get a first ini file?",
    "[a]",
    "Run the executable by hand with any argument that is not one of its "
    "switches, for example -help. It prints a "
    "summary of the ini keywords and, when no ini file exists beside it yet, "
    "asks whether it should write a "
    "demonstration file. Answer y and it writes this:",
    "[pre]",
    "smtp 127.0.0.1",
    "logging errors",
    "email_CR LFCR",
    "sendall false",
    "hello_method HELO",
    "success_html_page /html/success.html",
    "failure_html_page /html/failure.html",
    "",
    "headerline To: \"Me\" &lt;webmaster@example.com&gt;",
    "headerline From: \"Me\" &lt;webmaster@example.com&gt;",
    "headerline Subject: Form Submission Data",
    "use_submitted_variable_for_headerline Status:",
    "bodycontent_line Here are the details that they submitted:",
    "use_submitted_variable_for_bodycontent Name:",
    "use_submitted_variable_for_bodycontent Email:",
    "use_submitted_variable_for_bodycontent Subject:",
    "use_submitted_variable_for_bodycontent Comments:",
    "[/pre]",
    "Put your own address in the To: and From: lines and your own pages in the "
    "two page settings. An existing ini file "
    "is never touched: with one present, no question is asked.",
    "",
    "[q]",
    "Which keywords can the ini file hold?",
    "[a]",
    "[pre]",
    "smtp HOST  or  smtp HOST:PORT                 the SMTP server; port 25 "
    "unless given",
    "smtp_timeout SECONDS                          time limit of one whole "
    "delivery; 30 unless given",
    "logging debug  or  logging errors             how much goes into the log",
    "email_CR LFCR  or  email_CR CR                line ends CR LF (right) or "
    "bare LF",
    "hello_method HELO  or  hello_method EHLO      the SMTP hello command",
    "success_html_page FILE                        page shown when the server "
    "accepted the mail",
    "failure_html_page FILE                        page shown otherwise",
    "headerline TEXT                               a fixed header line",
    "use_submitted_variable_for_headerline FIELD   a header line holding a "
    "form field",
    "bodycontent_line TEXT                         a fixed body line",
    "use_submitted_variable_for_bodycontent FIELD  a body line holding a form "
    "field",
    "sendall true                                  add every submitted field "
    "to the body",
    "remove_empty_variables                        with sendall, leave out "
    "empty fields",
    "no_padding                                    body lines start without "
    "the leading blank",
    "add_headerline_colon                          add a colon to header names "
    "that lack one",
    "add_kolvex_link false                         no footer link on the reply "
    "pages",
    "add_standard_headers                          Date, Message-ID, MIME "
    "headers, encoded non-ASCII text",
    "charset NAME                                  the charset named with "
    "add_standard_headers; UTF-8 unless given",
    "smtp_tls starttls  or  smtp_tls implicit      TLS to the mail server",
    "smtp_tls_ca FILE                              trust this CA or "
    "certificate file",
    "smtp_user NAME  and  smtp_password SECRET     log in (AUTH), only over "
    "TLS",
    "spool_folder FOLDER                           keep each message until a "
    "server accepted it",
    "queued_html_page FILE                         page shown when a message "
    "waits in the spool",
    "allowed_recipient ADDRESS  or  @DOMAIN        the only recipients mail "
    "may go to",
    "reply_to_field FIELD                          the visitor's address as "
    "Reply-To",
    "honeypot_field FIELD                          a hidden field that only "
    "robots fill",
    "rate_limit N                                  at most N mails an hour "
    "from one client address",
    "client_ip_header                              add X-Originating-IP with "
    "the client's address",
    "json_replies                                  JSON replies for scripts "
    "that ask for them",
    "cors_origin ORIGIN                            a page on this origin may "
    "read the replies",
    "success_redirect URL                          after a sent mail, send the "
    "browser to this page",
    "failure_redirect, queued_redirect, invalid_redirect URL    the same for "
    "the other outcomes",
    "required_field FIELD                          the field must be filled in",
    "email_field FIELD                             the field, when filled, "
    "holds one e-mail address",
    "invalid_html_page FILE                        page shown when a field is "
    "refused",
    "recipient_field FIELD                         the menu field that picks "
    "the recipient",
    "recipient_alias TOKEN ADDRESS                 a menu token and the "
    "address it reaches",
    "[/pre]",
    "Keep email_CR LFCR: most mail servers today refuse bare line feeds, which "
    "is what email_CR CR sends. An smtp_timeout "
    "that is not a positive number keeps the 30 seconds.",
    "",
    "[q]",
    "How must an ini line be written?",
    "[a]",
    "The keyword stands at the very start of the line, spelt exactly as listed "
    "(case counts), followed by one blank and "
    "the value. The value is the rest of the line, taken as it is: a trailing "
    "blank stays part of it, and a host name with "
    "a trailing blank is a different host name.",
    "A line that begins with anything else is ignored without a message: empty "
    "lines, notes, misspelt keywords and keywords "
    "with blanks in front of them. So a note needs no comment sign, and a "
    "mistyped keyword would be lost without a word: "
    "run mailer.cgi -check after each edit, which names every line a run "
    "ignores and the keyword a misspelt one meant. A setting "
    "given twice takes the last value; header and body lines are all kept, in "
    "the order of the file.",
    "With logging debug, every line that was used appears in the log as \"line "
    "used from ini file {...}\"; a line you "
    "expected there and do not find was not recognised.",
    "",
    "[q]",
    "How do I set up Apache to run it?",
    "[a]",
    "On Debian, enable the CGI module (a2enmod cgid, then systemctl restart "
    "apache2); the default configuration already "
    "maps /cgi-bin/ to /usr/lib/cgi-bin. Elsewhere, this does it:",
    "[pre]",
    "ScriptAlias /cgi-bin/ /usr/lib/cgi-bin/",
    "&lt;Directory \"/usr/lib/cgi-bin\"&gt;",
    "    Options +ExecCGI",
    "    Require all granted",
    "&lt;/Directory&gt;",
    "[/pre]",
    "A ScriptAlias folder treats every file in it as a program, so a browser "
    "asking for mailer.ini or mailer.log gets an "
    "error, never the file. If you run the gateway from a document folder with "
    "AddHandler cgi-script instead, keep the ini "
    "and log from being downloaded with a rule of your own.",
    "",
    "[q]",
    "How do I set up lighttpd to run it?",
    "[a]",
    "On Debian, lighty-enable-mod cgi and a reload of lighttpd map /cgi-bin/ "
    "to /usr/lib/cgi-bin. A configuration of your "
    "own looks like this; the access rule keeps the ini and the log from being "
    "served as files:",
    "[pre]",
    "server.modules += ( \"mod_cgi\", \"mod_alias\", \"mod_access\" )",
    "alias.url += ( \"/cgi-bin/\" =&gt; \"/usr/lib/cgi-bin/\" )",
    "$HTTP[\"url\"] =~ \"^/cgi-bin/\" {",
    "    cgi.assign = ( \".cgi\" =&gt; \"\" )",
    "    url.access-deny = ( \".ini\", \".log\" )",
    "}",
    "[/pre]",
    "",
    "[q]",
    "How do I run it under nginx?",
    "[a]",
    "nginx does not run CGI programs itself; fcgiwrap does it for it (apt-get "
    "install fcgiwrap). Pass the CGI folder to "
    "fcgiwrap's socket and refuse the ini and log files:",
    "[pre]",
    "location ~ \\.(ini|log)$ {",
    "    deny all;",
    "}",
    "location /cgi-bin/ {",
    "    root /usr/lib;",
    "    fastcgi_pass unix:/run/fcgiwrap.socket;",
    "    include fastcgi_params;",
    "    fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;",
    "}",
    "[/pre]",
    "fcgiwrap starts the gateway once per request, as any CGI server does, as "
    "the user www-data; that user needs to read "
    "the ini file and the pages and to write the log.",
    "",
    "[q]",
    "How do I write the HTML form?",
    "[a]",
    "Use method post. Every encoding a browser sends is read: the default, "
    "multipart/form-data (needed for files, see the next answer) and "
    "text/plain; a script's fetch() may also post JSON. The names of the "
    "fields are the names the ini file uses:",
    "[pre]",
    "&lt;form method=\"post\" action=\"/cgi-bin/mailer.cgi\"&gt;",
    "  Name: &lt;input name=\"Name:\"&gt;",
    "  E-mail: &lt;input name=\"Email:\"&gt;",
    "  Subject: &lt;input name=\"Subject:\"&gt;",
    "  &lt;textarea name=\"Comments:\"&gt;&lt;/textarea&gt;",
    "  &lt;input type=\"submit\" value=\"Send\"&gt;",
    "&lt;/form&gt;",
    "[/pre]",
    "Names are compared exactly, with case and with every character: the field "
    "Name: belongs to the ini line "
    "use_submitted_variable_for_bodycontent Name: and not to one that says "
    "Name. Up to 1000 fields and 99999 bytes of form "
    "data are read, and the files the next answer allows.",
    "",
    "[q]",
    "How do I let visitors send files?",
    "[a]",
    "Give the form the encoding multipart/form-data and a file input:",
    "[pre]",
    "&lt;form method=\"post\" action=\"/cgi-bin/mailer.cgi\" "
    "enctype=\"multipart/form-data\"&gt;",
    "  &lt;input type=\"file\" name=\"Attachment:\"&gt;",
    "[/pre]",
    "and list in the ini file the file-name extensions that may be attached "
    "(case ignored, separated by blanks or commas):",
    "[pre]",
    "attachment_types pdf jpg jpeg png txt",
    "max_attachment_bytes 7000000",
    "[/pre]",
    "Each file goes out as an attachment of the mail, its type taken from its "
    "extension. max_attachment_bytes bounds all files of one post together; "
    "the default of 7000000 bytes keeps the encoded message under the "
    "10240000 bytes that Postfix accepts by default. A file whose extension "
    "is not listed, or files over the limit, refuse the whole post: nothing "
    "is sent, the visitor gets the failure page and the log names the field, "
    "the file and the reason. Without attachment_types every file is refused "
    "so. A file input left empty sends no file.",
    "nginx takes bodies of at most 1 MB unless told otherwise: write "
    "client_max_body_size 8m; in the location that runs the gateway. "
    "Apache takes up to 1 GB since version 2.4.53.",
    "",
    "[q]",
    "How do the form fields get into the e-mail?",
    "[a]",
    "Each use_submitted_variable_for_bodycontent line writes one body line: a "
    "blank, the field's name, a blank and the "
    "value the visitor sent. A bodycontent_line writes its fixed text. The "
    "lines follow the order of the ini file. A field "
    "named in the ini file but not submitted gives its name with an empty "
    "value. With no_padding the leading blank goes.",
    "The line breaks of a text area arrive as line breaks: the second and "
    "later lines of a value follow on lines of their "
    "own, indented under the value. A line that begins with a full stop is "
    "sent with one more in front, as SMTP requires; "
    "the receiving server removes it again, so a visitor's lone full stop can "
    "never end the message early.",
    "With sendall true (exactly so, in lower case) a block titled \"All "
    "variables from the submitted form:\" follows the "
    "body lines, with one line (name)==(value) for every submitted field in "
    "the order the browser sent them; "
    "remove_empty_variables leaves out the empty ones. Fields that no ini line "
    "names and that sendall does not add are "
    "not mailed.",
    "",
    "[q]",
    "How do I set who receives the mail and who sends it?",
    "[a]",
    "With header lines. The address in the To: line is the recipient, and the "
    "address in the From: line is the sender "
    "that the SMTP server is given, which is also where bounces go. A line may "
    "be fixed (headerline To: \"Sales\" "
    "followed by the address in angle brackets) or take a form field "
    "(use_submitted_variable_for_headerline From: puts "
    "the address the visitor typed in the field From: there).",
    "From each line the first e-mail address is taken: letters, digits, full "
    "stops, hyphens, underscores and plus signs "
    "on both sides of an @; a display name, quotes and angle brackets around "
    "it are skipped. A CC: line adds a recipient "
    "who is shown in the message; a BCC: line adds one who is not. Only the "
    "first From:, To:, CC: and BCC: line that "
    "holds an address counts, and each gives one address. The header names are "
    "compared without regard to case.",
    "Many mail providers refuse mail whose From: address belongs to another "
    "provider's domain (DMARC), so a From: line "
    "with the visitor's own address may not arrive. A fixed From: address of "
    "your own domain is safer.",
    "",
    "[q]",
    "Why do accented letters arrive garbled, as in \"J\u00c3\u00b6hn\"?",
    "[a]",
    "Browsers send what visitors type as UTF-8. A message that does not say "
    "which charset it uses is shown by many mail clients as if it were "
    "another one, so \"J\u00f6hn\" turns into \"J\u00c3\u00b6hn\". Add the "
    "line add_standard_headers to the ini file: every message then carries "
    "Date:, Message-ID:, MIME-Version: 1.0 and Content-Type: text/plain; "
    "charset=UTF-8, header text with letters beyond ASCII is written as "
    "encoded words (RFC 2047), and a body with such letters or with lines "
    "longer than 998 characters goes as quoted-printable.",
    "If your form page uses another charset, name it with charset (for "
    "example charset ISO-8859-1) and make it match the page's <meta "
    "charset>; the bytes are passed on unchanged. The success and failure "
    "pages then name that charset in their Content-type header too.",
    "Without add_standard_headers the message carries only the accepted To:, "
    "From: and CC: lines, every Subject: line, a Reply-To: line when "
    "reply_to_field is set, and the fixed X-TARVELO: line. The BCC: line is "
    "never written into the message, since every recipient would read it, "
    "and a line break in a submitted value becomes a blank in a header line, "
    "so a visitor cannot add header lines of their own.",
    "",
    "[q]",
    "May the form choose the recipient?",
    "[a]",
    "Only with an allow-list. With use_submitted_variable_for_headerline To: "
    "anyone who posts to the gateway decides where your mail server sends "
    "mail, and robots that search the web for such forms use it to send spam "
    "in your name. Add one allowed_recipient line per address the form may "
    "choose (or allowed_recipient @example.com for any address of exactly "
    "that domain, not its subdomains): any other To:, CC: or BCC: address "
    "gets the failure page and no mail, and the log names it.",
    "Keep From: fixed on your own domain and set reply_to_field to the field "
    "that holds the visitor's address, so one click answers them. Against "
    "robots, add a field hidden by your page's CSS and name it with "
    "honeypot_field: a robot that fills it (any copy, when the field is sent "
    "more than once) sees the success page, but no mail "
    "goes out. rate_limit 10 allows at most ten mails an hour from one "
    "client address; an IPv6 address counts by its /64 prefix, and "
    "::ffff:192.0.2.1 as 192.0.2.1. The counts are kept in mailer.rate "
    "beside the ini, or in the temporary folder (see the install answer); "
    "when neither can be used, the form refuses every message.",
    "",
    "[q]",
    "How do I show what the visitor typed on the reply page?",
    "[a]",
    "Write the field's name between two pairs of vertical bars in your success "
    "or failure page:",
    "[pre]",
    "&lt;p&gt;Thank you, &#124;&#124;Name:&#124;&#124;. We will answer to "
    "&#124;&#124;Email:&#124;&#124; soon.&lt;/p&gt;",
    "[/pre]",
    "Each such token is replaced by the value submitted for that field, with "
    "HTML's special characters escaped (ampersand, "
    "angle brackets, quotes and apostrophes), so a visitor cannot put markup "
    "or scripts into your page. A field that was "
    "not submitted gives nothing.",
    "Tokens are filled only where that is safe: in the text of the page (also "
    "inside <title> and <textarea>) and in attribute values such as "
    "value=\"...\". In a value written without quotes every sign but letters "
    "and digits goes out as a character reference, so a visitor's value can "
    "never end the attribute. Nothing is filled inside <script> and <style> "
    "elements (nor in <noscript>, <iframe>, <xmp>, <noembed>, <noframes> and "
    "after <plaintext>, whose content is no markup either), HTML comments, a tag outside its values, inline SVG or MathML, "
    "end tags, the attributes of script and style tags, and the values of "
    "on... event handlers, style and srcdoc: there the bars go out as "
    "written. The gateway reads the page as one stream, so this holds for a "
    "script that runs over many lines too. That is why JavaScript's OR "
    "operator, two bars, is safe in your page's scripts: a visitor who "
    "posts a field named like the code between two of them changes nothing.",
    "In an address attribute (href, src, action, formaction, cite, data, "
    "poster, background, ping, srcset, xlink:href, and the address of a "
    "<meta http-equiv=\"refresh\">) a value that a token helped to fill may "
    "lead only to an http:, https: or mailto: address or to a page of your "
    "own site such as thanks.html; any other scheme, such as javascript: or "
    "data:, makes the whole value #.",
    "A token in the text without its closing pair of bars before the next tag "
    "or the end of the line shows the notice \"token not terminated {...}\" "
    "in the page around the text it stands in; in an attribute value such "
    "bars go out as written. Everything else in the page goes out as it "
    "stands, percent signs included.",
    "",
    "[q]",
    "How do I send the form with JavaScript and show the answer on the same "
    "page?",
    "[a]",
    "Add json_replies to the ini file and post the form with fetch(), asking "
    "for JSON in the Accept header; without it fetch() asks for anything and "
    "gets the HTML page:",
    "[pre]",
    "const response = await fetch(form.action, {",
    "  method: 'POST',",
    "  body: new URLSearchParams(new FormData(form)),",
    "  headers: { Accept: 'application/json' },",
    "});",
    "const reply = await response.json();",
    "[/pre]",
    "The reply is one object: ok (true when the mail went out or was queued), "
    "outcome (sent, queued, invalid, method, unsupported, too_large, "
    "malformed, rate_limited, failed), on failure error, a sentence you can "
    "show the visitor, and for invalid also fields, each refused field with "
    "its reason. The HTTP status says the same (200, 202, 422 and so on). "
    "Keep the form's action and method: without JavaScript it then posts as "
    "before. The sample site's form.js does all this.",
    "A page on another origin (another host, scheme or port) may read the "
    "reply only when the ini lists that origin exactly, as cors_origin "
    "https://www.example.com. The browser then also gets its preflight "
    "(OPTIONS) answered, which it sends first for a JSON body. CORS only "
    "keeps other pages from reading the reply: a plain post from anywhere is "
    "still mailed, so keep honeypot_field and rate_limit.",
    "",
    "[q]",
    "How do I send visitors to my own thank-you page?",
    "[a]",
    "Set success_redirect to the page, for example success_redirect "
    "/thanks.html; failure_redirect, queued_redirect and invalid_redirect "
    "do the same for the other outcomes. The gateway answers with status "
    "303 and the page's address, and the browser loads that page: a reload "
    "then reloads the page and does not post the form again.",
    "The address is an http or https URL or a path on your site that starts "
    "with a single /. Anything else (another scheme, //host, blanks) is "
    "refused when the ini is read, with a log line, and the page setting is "
    "used instead. The address comes only from the ini file, never from the "
    "form. A page reached this way is not filled in: it shows no tokens.",
    "",
    "[q]",
    "How do I make fields required?",
    "[a]",
    "Name each with required_field (filled in, not only blanks) and each "
    "field that must hold an e-mail address with email_field (an empty "
    "field passes; list it as required_field too to demand one), and name "
    "the page for a refused post with invalid_html_page:",
    "[pre]",
    "required_field Name:",
    "email_field Email:",
    "invalid_html_page /usr/lib/cgi-bin/invalid.html",
    "[/pre]",
    "A post that fails sends nothing and is not counted by rate_limit. The "
    "visitor gets that page (the failure page without it) with status 422, "
    "and the log an error line naming the fields. In the page this token "
    "names the refused fields, separated by commas; the other tokens work "
    "as usual, so the page can show what the visitor typed:",
    "[pre]",
    "&lt;p&gt;Please check: &#124;&#124;_invalid_fields&#124;&#124;&lt;/p&gt;",
    "[/pre]",
    "",
    "[q]",
    "How do I let visitors choose a department?",
    "[a]",
    "Give the form a menu that sends a token, and turn each token into an "
    "address in the ini file:",
    "[pre]",
    "recipient_field Department:",
    "recipient_alias sales sales@example.com",
    "recipient_alias support support@example.com",
    "",
    "&lt;select name=\"Department:\"&gt;",
    "  &lt;option value=\"sales\"&gt;Sales&lt;/option&gt;",
    "  &lt;option value=\"support\"&gt;Support&lt;/option&gt;",
    "&lt;/select&gt;",
    "[/pre]",
    "The chosen token's address receives the mail and stands in the To: "
    "line; the ini's other To: lines are not used. A missing or unknown "
    "token is a refused field, as with required_field. The form never "
    "carries an address, so nobody can use it to mail anyone else, and "
    "allowed_recipient, when set, must still allow each alias address.",
    "",
    "[q]",
    "Why does the reply page show only \"email sent.\" or \"email NOT sent.\"?",
    "[a]",
    "The page you configured could not be shown, and the built-in page says "
    "why; the same text is in the log.",
    "\"success_html_page\" message file is not set in tarvelo ini file. (or "
    "the same for failure_html_page): the ini file "
    "has no such line, or the keyword is misspelt or has no single blank "
    "behind it.",
    "\"success_html_page\" message file (...) is not readable for the reason "
    "(2)(No such file or directory).: there is no "
    "file at that path. With (13)(Permission denied) the file exists but the "
    "web server's user may not read it. (21)(Is a directory) names a folder, "
    "and (22)(Invalid argument) a device or a named pipe: only a plain file "
    "is shown as a page.",
    "The setting is a file name on the web server, not a web address; a "
    "setting that starts with http gets the added "
    "note \"The setting is not a web address setting, it is a local file name "
    "setting.\". A relative file name is taken "
    "from the folder the web server runs the program in, so a full path is the "
    "safer choice.",
    "",
    "[q]",
    "How do I keep messages while the mail server is down, and resend them "
    "from cron?",
    "[a]",
    "Add spool_folder with a folder the web server's user may write (outside "
    "the document root) and queued_html_page with a page that tells the "
    "visitor the message was received. Every message cleared to send is then "
    "first written to a plain-text file of its own in that folder, and the "
    "file is removed once the server has accepted the message. When the "
    "delivery fails (no connection, the time limit, a refusal) the file "
    "stays, the log says queued with its name, and the visitor sees the "
    "queued page (the failure page when queued_html_page is not set).",
    "Run the executable with the single switch -resend_spool to try every "
    "file again, oldest first, with the server settings of the current ini "
    "file. It prints sent, kept or refused with each file's name, then the "
    "totals, and exits with 0 when nothing is left to send, 3 otherwise. "
    "From the web server's user's crontab, every ten minutes:",
    "[pre]",
    "*/10 * * * * cd /srv/www/cgi-bin &amp;&amp; ./mailer.cgi -resend_spool",
    "[/pre]",
    "After the first message that finds no server, no connection or no "
    "reply (a server that accepts and never answers), the others are kept "
    "without trying, so a pass waits out smtp_timeout once. A pass locks the "
    "spool folder: one started while another runs says so in one line and "
    "exits with 0. "
    "Each file is locked while a run or a resend works on it, so no message "
    "is sent twice. An entry that is not a regular file (a link is never "
    "followed) or is larger than 64 MiB is renamed to end in .unusable "
    "unread, and the pass goes on. A message the server refuses for good (a reply starting "
    "with 5 to the sender, the recipient or the message) is renamed to end "
    "in .refused and never tried again; the resend's output and the log give "
    "the server's reason. Fix the cause and rename the file back, without "
    ".refused, to have it tried again. Files beginning with a full stop and "
    "ending in .tmp were being written by a run that was killed; they are "
    "never sent and can be deleted.",
    "",
    "[q]",
    "Does the success page mean that the mail was delivered?",
    "[a]",
    "It means that your SMTP server accepted the message: it answered every "
    "step of the conversation with a success code, "
    "up to and including the end of the message. From then on the server is "
    "responsible for it; should it fail to deliver "
    "later, it sends a bounce to the From: address.",
    "When the server refuses a step (an unknown sender, relaying denied, a "
    "full mailbox, a message it does not want), the "
    "gateway says QUIT, sends nothing more, shows the failure page and logs "
    "which step was refused together with the "
    "server's reply line. A refused CC or BCC recipient is logged as well, and "
    "the message still goes to the others.",
    "",
    "[q]",
    "Why does sending take so long?",
    "[a]",
    "The visitor's browser waits while the gateway talks to the SMTP server, "
    "and with a relay on the same machine that "
    "takes a fraction of a second. When it takes longer, one of these is "
    "usually the cause:",
    "The host in the smtp line is looked up in DNS on every run; an address "
    "such as 127.0.0.1 saves the lookup.",
    "The server makes new clients wait before it greets them, or looks up the "
    "web server's address in DNS, as a defence "
    "against spam.",
    "The server scans the message for spam or viruses before it answers the "
    "end of the message.",
    "The server is far away or busy; a local relay that queues at once and "
    "forwards later hides this from the visitor.",
    "With logging debug, every line sent and received is in the log with its "
    "time, which shows where the time goes. "
    "smtp_timeout (30 seconds unless set) bounds one whole delivery, from "
    "connecting to the answer to QUIT: when it runs "
    "out, the log shows Timedout and the visitor gets the failure page.",
    "",
    "[q]",
    "What does \"SMTP email server (...) did not respond.\" mean?",
    "[a]",
    "No connection to the server in the smtp line could be made, so nothing "
    "was sent and the failure page was shown. The "
    "line before it, starting with wsock:, gives the reason (see the next "
    "question); when there is none, the host name "
    "could not be found in DNS. Check the smtp line (host, port, no trailing "
    "blank), that the server runs, and that no "
    "firewall stands between the web server and it. nc -v with the host and "
    "the port, run on the web server, shows "
    "whether anything answers there.",
    "",
    "[q]",
    "What do the lines starting with \"wsock:\" in the log mean?",
    "[a]",
    "They report a network error, as wsock: (what was being done) and the "
    "error in words. The part in brackets is the "
    "server's host name while connecting, Socket Error, could not write. for a "
    "failed write, or a name such as "
    "TCPdoread failed for a failed read. The errors seen most:",
    "[pre]",
    "Connection Refused           nothing listens on that host and port",
    "Timedout                     no answer in time; also when smtp_timeout "
    "ran out",
    "Host Unreachable             no route to that host (a firewall, a wrong "
    "address)",
    "Network Unreachable          no route to that network",
    "The virtual circuit was reset by the remote side.     the server dropped "
    "the connection",
    "The socket has been shutdown; ...                     a write after the "
    "server had closed",
    "[/pre]",
    "The texts keep the wording of Windows Sockets on every system, so a log "
    "reads the same on Linux and on Windows.",
    "",
    "[q]",
    "What do \"TCPdoread failed\" and \"TCPwrite failed in sendr\" mean?",
    "[a]",
    "They name where a network error struck. TCPdoread failed: an answer of "
    "the server could not be read, because the "
    "server closed the connection, an error occurred or the time limit ran "
    "out. TCPwrite failed in sendr(1): a command "
    "could not be written; sendr(2): its line end could not. The delivery ends "
    "there and the visitor gets the failure "
    "page, unless the server had already accepted the message (a failed read "
    "of the answer to QUIT, for example, changes "
    "nothing). A wsock: line before it names the error when the system "
    "reported one.",
    "",
    "[q]",
    "What does \"email not sent due to From, or To, or Subject headers not "
    "being present or valid\" mean?",
    "[a]",
    "A message is sent only when it has a From: address, a To: address and a "
    "Subject: line. The log line shows what was "
    "found (From={...} To={...} Subject_found=TRUE or FALSE) and the whole "
    "message that would have gone out. (null) "
    "means that no address was found for that header.",
    "Check that the header line holds an address, and for a line that takes a "
    "form field, that the form sent a field of "
    "exactly that name and that the visitor typed an address into it. With "
    "logging debug, \"no email address in this "
    "line (...)\" shows each text that was searched in vain.",
    "",
    "[q]",
    "How do I choose how much is logged, and keep the log small?",
    "[a]",
    "logging errors writes only what went wrong; logging debug writes every "
    "step: the form fields, each ini line used and "
    "the whole SMTP conversation, which includes what visitors typed. The "
    "lines of a run are held in memory until the ini file has been read, "
    "then written in order. The lines that carry what visitors typed (the "
    "form fields as received and as decoded, \"Form stuff\", add_header_line "
    "and add_body_variable) are left out unless the ini's last logging line "
    "asks for debug; with logging errors, a 100 kB form adds no 100 kB to the "
    "log. A run that ends before its ini is read (a missing ini, a crash, a "
    "web server that stops it) writes all its lines. A mail that could not "
    "be sent is still logged whole as an error.",
    "No visitor can write a line that passes for one of the gateway's own: "
    "within a line, a further line that begins with a digit starts with a "
    "TAB, and a lone carriage return is written as \\r.",
    "Each line is dated and carries the process id, so the lines of runs that "
    "overlap can be told apart. The log grows "
    "without end: empty it with the switch -blanklog, which leaves the single "
    "line \"This is the log file for tarvelo\". "
    "The log is opened afresh by every run, so it can also be rotated by "
    "renaming it; the next run creates a new one "
    "when the web server's user may create files in its folder.",
    "",
    "[q]",
    "Why is the log file never written?",
    "[a]",
    "The web server's user (www-data on Debian) may not create or write it. "
    "The log lies beside the executable, whose "
    "folder usually belongs to root. Create it and hand it over, for example "
    "./mailer.cgi -blanklog and then chown "
    "www-data mailer.log. A log that cannot be written never stops a run: the "
    "mail still goes out, only its trace is "
    "lost. A log that a run creates has mode 0640 (less the umask): it "
    "holds what visitors typed, so only its owner and group may read it. "
    "The lines of a run reach the file only once its ini has been read, or "
    "when the run ends. Check also that you look for the right name (see how "
    "the gateway finds its files).",
    "",
    "[q]",
    "The browser shows \"error: The ini file could not be opened..\" or an "
    "internal server error. What is wrong?",
    "[a]",
    "The first is the gateway's own error page: no ini file lies at the path "
    "derived from the program's name, or the web "
    "server's user may not read it. The log line \"Ini file == \" shows the "
    "path it tried.",
    "An internal server error or \"premature end of script headers\" means "
    "that the program printed no page at all: it "
    "is not executable (chmod 755), its folder is mounted noexec, the web "
    "server is not set up to run CGI programs there, "
    "or the ini file was missing and the log could not be written either, in "
    "which case the gateway ends without a word. "
    "A run by hand as the web server's user shows the page it prints:",
    "[pre]",
    "cd /usr/lib/cgi-bin",
    "printf 'Name:=Joe' | su -s /bin/sh www-data -c 'CONTENT_LENGTH=9 "
    "./mailer.cgi'",
    "[/pre]",
    "",
    "[q]",
    "Which command-line switches does it have?",
    "[a]",
    "[pre]",
    "-version  or  -?                print the version",
    "-FAQ                            print this page, for example ./mailer.cgi "
    "-FAQ &gt; faq.html",
    "-blanklog                       empty the log, leaving one banner line",
    "-resend_spool                   try the messages kept in spool_folder "
    "again",
    "-version_insert_filename FILE [-os NAME [-chip NAME]]",
    "                                rename a release file so that its name "
    "carries the version",
    "any other argument              print the help and offer a demonstration "
    "ini file",
    "[/pre]",
    "Each switch must be the only argument, except -version_insert_filename. "
    "Without any argument the program is a CGI "
    "run: it reads the form from standard input and CONTENT_LENGTH from the "
    "environment.",
    "",
    "[q]",
    "Stopping spam with a CAPTCHA",
    "[a]",
    "Put the provider's widget into the form and name the provider and its "
    "secret key in the ini:",
    "[pre]",
    "captcha_provider turnstile",
    "captcha_secret your-secret-key",
    "[/pre]",
    "The providers and the hidden field their widget fills: turnstile "
    "(Cloudflare Turnstile, cf-turnstile-response), hcaptcha "
    "(h-captcha-response) and recaptcha (Google reCAPTCHA, "
    "g-recaptcha-response). The secret is shown as ******** in every log "
    "line and never in a page.",
    "After the honeypot and the field rules have passed, the gateway posts "
    "the token, the secret and the visitor's address to the provider and "
    "reads its answer. A refused token, or a post without one, is a refused "
    "field named captcha: the visitor gets the invalid page (or JSON 422, "
    "the field's reason not verified, or required when the token is "
    "missing); nothing is sent and the post is not counted by rate_limit.",
    "A provider that cannot be reached, a certificate that is not trusted, "
    "or an answer that is no JSON or never ends refuses the post: a post "
    "that could not be checked is never mailed. The visitor gets the failure "
    "page (or failure_redirect, or JSON 503 failed), and the log an error "
    "line: CAPTCHA could not be verified at URL (why): no mail sent.",
    "The call to the provider may take smtp_timeout seconds, counted from "
    "when the form was read. captcha_verify_url URL sends the tokens to "
    "another address (a private endpoint, or a test server), and "
    "captcha_tls_ca FILE trusts only the CAs of that PEM file for it.",
    "",
    "[q]",
    "Sending submissions to Slack or another service",
    "[a]",
    "Set webhook_url and every post that was sent, or kept in the spool to "
    "be sent later, is also posted to that URL as JSON: to Slack, "
    "Mattermost, Rocket.Chat, Discord, n8n, Zapier or a script of your own.",
    "[pre]",
    "webhook_url https://hooks.slack.com/services/T000/B000/XXXX",
    "webhook_format slack",
    "webhook_secret a-long-random-text",
    "[/pre]",
    "webhook_format json (the default) sends the post's record: the form "
    "(the program's file name), the outcome (sent or queued), the time in "
    "UTC (RFC 3339) and the fields in form order, a file field as its file "
    "name and size. With client_ip_header true the client's address is "
    "added; a CAPTCHA widget's token is left out.",
    "[pre]",
    "{\"form\":\"mailer.cgi\",\"outcome\":\"sent\",\"time\":"
    "\"2026-12-08T18:30:05Z\",\"fields\":[[\"Name\",\"Ann\"],"
    "[\"cv\",{\"file\":\"cv.pdf\",\"size\":1234}]]}",
    "[/pre]",
    "webhook_format slack sends {\"text\":\"...\"}: a first line naming "
    "the form and the outcome, then one line per field. Slack's and "
    "Mattermost's incoming webhooks, Rocket.Chat and Discord's "
    "Slack-compatible endpoint (the Discord webhook URL followed by /slack) "
    "show it as a message. The characters &, < and > of what a visitor "
    "typed arrive as &amp;, &lt; and &gt;, so a visitor can neither "
    "mention @channel nor slip in a link.",
    "[pre]",
    "{\"text\":\"New post to mailer.cgi (sent)\\u000aName: "
    "Ann\\u000acv: cv.pdf (1234 bytes)\"}",
    "[/pre]",
    "With webhook_secret the request carries the header "
    "X-Tarvelo-Signature: sha256= followed by the HMAC-SHA256 of the body's "
    "exact bytes under the secret, in lower-case hex, as GitHub signs its "
    "webhooks. A receiver of your own checks it over the raw body, before "
    "parsing it, and compares in constant time. In Python:",
    "[pre]",
    "import hashlib, hmac",
    "def signed(secret, body, header):  # body: the bytes as received",
    "    mac = hmac.new(secret.encode(), body, hashlib.sha256).hexdigest()",
    "    return hmac.compare_digest(header, \"sha256=\" + mac)",
    "[/pre]",
    "The secret never reaches the log: its ini line is logged as ********.",
    "The URL must be https (the certificate is checked as for the mail "
    "server), or http to 127.0.0.1 for a receiver on the same machine; "
    "another URL gets an error line and is not used.",
    "The webhook never changes what the visitor sees or what is mailed. It "
    "is called after the mail was handed over or kept in the spool; a "
    "receiver that is down, slow, untrusted or answers other than 2xx costs "
    "one error line in the log naming the URL and what failed. It gets what "
    "remains of smtp_timeout counted from when the form was read (the "
    "mail's delivery included), never more; when nothing remains it is not "
    "called. A refused or dropped post calls no webhook, and -resend_spool "
    "calls none either.",
    "",
    "[q]",
    "Keeping a copy of every submission",
    "[a]",
    "Add archive_file with a path, for example archive_file "
    "/srv/forms/contact.jsonl: every post that was sent or queued in the "
    "spool adds one line of JSON to that file, with the form's name, "
    "outcome (sent or queued), the time in UTC, the visitor's address (only "
    "with client_ip_header yes) and the fields in form order as name and "
    "value pairs (a file as its name and size, never its bytes):",
    "[pre]",
    "{\"form\":\"mailer.cgi\",\"outcome\":\"sent\",\"time\":"
    "\"2026-12-08T18:30:05Z\",\"fields\":[[\"Name\",\"Ann\"],"
    "[\"cv\",{\"file\":\"cv.pdf\",\"size\":1234}]]}",
    "[/pre]",
    "Put the file outside the web root, in a folder the web server's user "
    "may write (-check warns about a place visitors could download it "
    "from). A relative path is taken from the folder the run works in. The "
    "file is made with mode 0600, each line is written whole under a lock "
    "(runs at the same moment never mix their lines), and a symbolic link "
    "at the path is never followed: the run then logs an error line, and "
    "the visitor's page and the mail stay as they are.",
    "For a spreadsheet, ./mailer.cgi -archive_csv /srv/forms/contact.jsonl "
    "> contact.csv prints the archive as CSV (UTF-8 with a byte-order "
    "mark, one column per field name). A cell that begins with = + - or @ "
    "gets a leading ' so the spreadsheet shows it as text and never runs "
    "it as a formula.",
    "The archive holds personal data: keep it only as long as your privacy "
    "rules allow, and delete or trim it as they say.",
    nullptr,
};

}  // namespace tarvelo
