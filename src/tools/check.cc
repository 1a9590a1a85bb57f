#include "tools/check.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "compose/abuse_checks.h"
#include "compose/envelope.h"
#include "config/service_rules.h"
#include "support/log.h"
#include "support/smtp_options.h"

namespace tarvelo {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

// The message of the last held log line: the text after "<stamp> - pid(N) - ".
std::string last_log_message(const std::string& held) {
  std::string_view lines = held;
  while (!lines.empty() && lines.back() == '\n') lines.remove_suffix(1);
  size_t start = lines.rfind('\n');
  std::string_view line =
      start == std::string_view::npos ? lines : lines.substr(start + 1);
  size_t pid = line.find(" - pid(");
  if (pid != std::string_view::npos) {
    size_t after = line.find(") - ", pid);
    if (after != std::string_view::npos) line.remove_prefix(after + 4);
  }
  return std::string(line);
}

bool is_blank(const char* line) {
  for (; *line != '\0'; ++line) {
    if (*line != ' ' && *line != '\t') return false;
  }
  return true;
}

// The line as a finding quotes it: passwords and secrets masked.
std::string shown_line(const char* line, std::string_view keyword) {
  if (ini_keyword_is_secret(keyword)) {
    return std::string(keyword) + " " + kPasswordMask;
  }
  return line;
}

void add(finding_list* found, finding_kind kind, std::string text) {
  found->push_back({kind, std::move(text)});
}

// Notes the field names a used line puts before the form.
void note_field_names(std::string_view keyword, const char* value,
                      checked_ini* ini) {
  if (keyword == "use_submitted_variable_for_headerline") {
    ini->submitted_headers.push_back(value);
  }
  if (keyword == "use_submitted_variable_for_headerline" ||
      keyword == "use_submitted_variable_for_bodycontent" ||
      keyword == "required_field" || keyword == "email_field" ||
      keyword == "recipient_field" || keyword == "reply_to_field" ||
      keyword == "honeypot_field") {
    ini->field_names.push_back(value);
  }
}

void check_one_line(int number, const char* line, checked_ini* ini,
                    finding_list* found) {
  if (is_blank(line)) return;
  std::string_view keyword = ini_keyword_of_line(line);
  if (keyword.empty()) {
    // A keyword with blanks in front of it is lost as well.
    std::string_view first = line;
    first.remove_prefix(first.find_first_not_of(" \t"));
    first = first.substr(0, first.find_first_of(" \t"));
    std::string_view meant = keyword_meant(first, ini_keyword_names());
    if (!meant.empty()) {
      // A misspelt password line still holds the password.
      std::string shown =
          ini_keyword_is_secret(meant)
              ? std::string(line, first.data() + first.size() - line) + " " +
                    kPasswordMask
              : std::string(line);
      add(found, FINDING_PROBLEM,
          "line " + std::to_string(number) + ": \"" + shown +
              "\" is not a keyword; did you mean \"" + std::string(meant) +
              "\"?");
    } else {
      add(found, FINDING_WARNING,
          "line " + std::to_string(number) + " ignored (not a keyword)");
    }
    return;
  }
  int matches = apply_ini_line(line, &ini->settings, &ini->headers,
                               &ini->body, &ini->form);
  std::string held;
  log_take_held_lines(&held);
  if (matches > 0) {
    const char* value = line + keyword.size();
    if (*value == ' ') ++value;
    note_field_names(keyword, value, ini);
    return;
  }
  std::string reason = held.empty() ? "a run ignores this value"
                                    : last_log_message(held);
  add(found, FINDING_PROBLEM,
      "line " + std::to_string(number) + ": \"" + shown_line(line, keyword) +
          "\" is not used: " + reason);
}

// The kind an entry's name makes it, whatever its value holds.
header_kind kind_of_entry(const char* name, bool colon) {
  envelope scratch;
  header_kind kind = classify_header(name, "someone@example.com", colon,
                                     &scratch);
  free(scratch.from_address);
  free(scratch.to_address);
  free(scratch.cc_address);
  free(scratch.bcc_address);
  return kind;
}

bool is_submitted_header(const checked_ini& ini, const char* name) {
  for (const std::string& submitted : ini.submitted_headers) {
    if (submitted == name) return true;
  }
  return false;
}

bool name_in(const std::vector<std::string>& names, std::string_view name) {
  for (const std::string& known : names) {
    if (known == name) return true;
  }
  return false;
}

std::string mode_text(unsigned mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool is_absolute(const char* path) {
  if (path[0] == '/' || path[0] == '\\') return true;
  // A Windows drive: "C:\" or "C:/".
  return path[0] != '\0' && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

}  // namespace

int edit_distance(std::string_view a, std::string_view b) {
  std::vector<int> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    int diagonal = row[0];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      int above = row[j];
      int substitute = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      int best = substitute;
      if (above + 1 < best) best = above + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string_view keyword_meant(std::string_view word,
                               const std::vector<std::string_view>& names) {
  std::string wanted = lowered(word);
  std::string_view best;
  int best_distance = 3;
  for (std::string_view name : names) {
    int distance = edit_distance(wanted, name);
    if (distance < best_distance) {
      best = name;
      best_distance = distance;
    }
  }
  return best;
}

void check_ini_lines(const char* text, long size, checked_ini* ini,
                     finding_list* found) {
  std::string line;
  long at = 0;
  int number = 0;
  bool line_starts = true;
  while (at < size) {
    // In the pieces the reader takes.
    long length = ini_piece_length(text, size, at);
    line.assign(text + at, static_cast<size_t>(length));
    at += length;
    if (line_starts) ++number;
    line_starts = line[line.size() - 1] == '\n';
    cut_line_end(line.data());
    check_one_line(number, line.c_str(), ini, found);
  }
}

void check_message_settings(const checked_ini& ini, finding_list* found) {
  const mail_settings& settings = ini.settings;
  bool seen[HEADER_SUBJECT + 1] = {};
  for (int i = 0; i < ini.headers.count; ++i) {
    const char* name = ini.headers.names[i];
    header_kind kind = kind_of_entry(name, settings.add_headerline_colon);
    seen[kind] = true;
    if (kind == HEADER_FROM && is_submitted_header(ini, name)) {
      add(found, FINDING_WARNING,
          std::string("the From is taken from the form (") + name +
              "): mail providers' DMARC checks refuse mail whose From is "
              "not of the sending site; give a fixed From and let "
              "reply_to_field carry the visitor's address");
    }
  }
  if (settings.recipient_field != nullptr && settings.recipient_alias_count > 0) {
    seen[HEADER_TO] = true;
  }
  const struct {
    header_kind kind;
    const char* word;
  } needed[] = {{HEADER_FROM, "From"}, {HEADER_TO, "To"},
                {HEADER_SUBJECT, "Subject"}};
  for (const auto& need : needed) {
    if (!seen[need.kind]) {
      add(found, FINDING_PROBLEM,
          std::string("no ") + need.word +
              " entry (headerline or use_submitted_variable_for_headerline "
              "\"" + need.word + ":\"): a run sends no mail");
    }
  }
  if (settings.smtp == nullptr) {
    add(found, FINDING_PROBLEM, "no smtp line: a run has no mail server");
  }
  if (settings.allowed_recipient_count > 0) {
    std::string from;
    for (const std::string& address : probe_recipients(ini, &from)) {
      bool allowed = false;
      for (int i = 0; i < settings.allowed_recipient_count; ++i) {
        allowed = allowed || recipient_matches(settings.allowed_recipients[i],
                                               address.c_str());
      }
      if (!allowed) {
        add(found, FINDING_PROBLEM,
            "the recipient " + address +
                " matches no allowed_recipient line: a run sends it nothing");
      }
    }
  }
  if (log_level_enabled(settings.logging, LOG_DEBUG)) {
    add(found, FINDING_WARNING,
        settings.logging == nullptr
            ? "no logging line: the log keeps debug lines, which store all "
              "that visitors type; write \"logging errors\" once the form works"
            : "logging debug: the log stores all that visitors type; write "
              "\"logging errors\" once the form works");
  }
}

std::vector<std::string> page_tokens(std::string_view page) {
  std::vector<std::string> tokens;
  size_t at = 0;
  for (;;) {
    size_t open = page.find("||", at);
    if (open == std::string_view::npos) break;
    size_t close = page.find("||", open + 2);
    if (close == std::string_view::npos) break;
    std::string_view name = page.substr(open + 2, close - open - 2);
    // "||" in text that is no token ("a || b") starts or ends with a blank,
    // or holds a line break or a tag; a field name may hold blanks.
    if (name.empty() || name.front() == ' ' || name.back() == ' ' ||
        name.find_first_of("\t\r\n<>") != std::string_view::npos) {
      at = open + 2;
      continue;
    }
    if (!name_in(tokens, name)) tokens.emplace_back(name);
    at = close + 2;
  }
  return tokens;
}

void check_page_tokens(std::string_view page, const char* setting,
                       const std::vector<std::string>& explained,
                       finding_list* found) {
  for (const std::string& token : page_tokens(page)) {
    if (token == "_invalid_fields" || name_in(explained, token)) continue;
    add(found, FINDING_WARNING,
        std::string(setting) + ": the token ||" + token +
            "|| is a field no ini line names; it is filled only when the "
            "form sends a field of that name");
  }
}

std::string path_from_folder(const char* path, const std::string& folder) {
  if (is_absolute(path)) return path;
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') {
    joined += '/';
  }
  return joined + path;
}

bool user_may(const os_file_facts& file, const os_user_ids& user,
              unsigned want) {
  if (!file.exists) return false;
  if (user.uid == 0) {
    if (want != 1 || file.is_folder) return true;
    return (file.mode & 0111) != 0;
  }
  if (file.uid == user.uid) return ((file.mode >> 6) & want) == want;
  for (unsigned group : user.groups) {
    if (group == file.gid) return ((file.mode >> 3) & want) == want;
  }
  return (file.mode & want) == want;
}

bool user_can_write(const os_file_facts& file, const os_file_facts& folder,
                    const os_user_ids& user) {
  if (file.exists) return file.is_regular && user_may(file, user, 2);
  return folder.is_folder && user_may(folder, user, 2 | 1);
}

std::string served_folder_of(std::string_view full_path,
                             std::string_view document_root) {
  std::string path = lowered(full_path);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if ((path + "/").find("/cgi-bin/") != std::string::npos) return "";
  std::string root = lowered(document_root);
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!root.empty() && path.starts_with(root + "/")) {
    return std::string(full_path.substr(0, root.size()));
  }
  for (std::string_view top : {"/var/www/", "/srv/"}) {
    if (path.starts_with(top)) {
      return std::string(full_path.substr(0, top.size() - 1));
    }
  }
  for (std::string_view folder : {"/public_html/", "/htdocs/", "/wwwroot/"}) {
    size_t hit = path.find(folder);
    if (hit != std::string::npos) {
      return std::string(full_path.substr(0, hit + folder.size() - 1));
    }
  }
  return "";
}

const char* deny_rules_text() {
  return "keep the web server from serving *.ini, *.log and *.rate files: "
         "Apache: <FilesMatch \"\\.(ini|log|rate)$\"> Require all denied "
         "</FilesMatch>; nginx: location ~ \\.(ini|log|rate)$ { deny all; }; "
         "lighttpd: url.access-deny = ( \".ini\", \".log\", \".rate\" )";
}

std::vector<std::string> probe_recipients(const checked_ini& ini,
                                          std::string* from) {
  envelope fixed;
  for (int i = 0; i < ini.headers.count; ++i) {
    const char* name = ini.headers.names[i];
    if (is_submitted_header(ini, name)) continue;
    classify_header(name, ini.headers.values[i],
                    ini.settings.add_headerline_colon, &fixed);
  }
  std::vector<std::string> recipients;
  auto note = [&recipients](const char* address) {
    if (address != nullptr && !name_in(recipients, address)) {
      recipients.emplace_back(address);
    }
  };
  // recipient_field sends to the alias addresses only.
  if (ini.settings.recipient_field == nullptr) note(fixed.to_address);
  note(fixed.bcc_address);
  note(fixed.cc_address);
  for (int i = 0; i < ini.settings.recipient_alias_count; ++i) {
    note(ini.settings.alias_addresses[i]);
  }
  *from = fixed.from_address != nullptr ? fixed.from_address : "";
  free(fixed.from_address);
  free(fixed.to_address);
  free(fixed.cc_address);
  free(fixed.bcc_address);
  return recipients;
}

void add_probe_findings(const std::vector<probe_step>& steps,
                        finding_list* found) {
  for (const probe_step& step : steps) {
    add(found, step.ok ? FINDING_OK : FINDING_PROBLEM,
        "mail server, " + step.step + ": " + step.detail);
  }
}

void check_service_settings(const mail_settings& settings,
                            finding_list* found) {
  if (settings.captcha_provider != CAPTCHA_NONE &&
      settings.captcha_secret == nullptr) {
    add(found, FINDING_PROBLEM,
        "captcha_provider is set without captcha_secret: no token can be "
        "verified, so no post would be mailed");
  }
}

namespace {

void probe_service(const char* what, const char* text, const char* ca_file,
                   int timeout_seconds, service_prober probe,
                   finding_list* found) {
  std::string head = std::string(what) + " " + text + ": ";
  http_url url;
  if (!parse_http_url(text, &url)) {
    add(found, FINDING_PROBLEM, head + "not an http or https URL");
    return;
  }
  http_response response;
  if (probe(url, ca_file, timeout_seconds, &response)) {
    add(found, FINDING_OK,
        head + (url.tls ? "reachable, certificate accepted" : "reachable"));
    return;
  }
  std::string why = http_failure_name(response.failure);
  if (!response.detail.empty()) why += " (" + response.detail + ")";
  add(found, FINDING_PROBLEM, head + why);
}

}  // namespace

void probe_services(const mail_settings& settings, const std::string& folder,
                    service_prober probe, finding_list* found) {
  const char* verify_url = captcha_url_of(settings);
  if (verify_url != nullptr) {
    // A relative CA file is found from the executable's folder, as a run
    // finds it.
    std::string ca;
    if (settings.captcha_tls_ca != nullptr) {
      ca = path_from_folder(settings.captcha_tls_ca, folder);
    }
    probe_service("CAPTCHA verify URL", verify_url,
                  ca.empty() ? nullptr : ca.c_str(), settings.smtp_timeout,
                  probe, found);
  }
  if (settings.webhook_url != nullptr) {
    probe_service("webhook URL", settings.webhook_url, nullptr,
                  settings.smtp_timeout, probe, found);
  }
}

void check_archive_place(const archive_place& place, const os_user_ids* user,
                         std::string_view document_root, finding_list* found) {
  const std::string& path = place.path;
  const char* lost = ": no post would be kept";
  if (!place.folder.exists || !place.folder.is_folder) {
    add(found, FINDING_PROBLEM,
        "archive_file " + path + ": the folder " + folder_of(path) +
            " does not exist" + lost);
  } else if (place.entry == OS_ENTRY_LINK) {
    add(found, FINDING_PROBLEM,
        "archive_file " + path +
            " is a symbolic link, which a run never writes through" + lost);
  } else if (place.entry == OS_ENTRY_OTHER) {
    add(found, FINDING_PROBLEM,
        "archive_file " + path + " is not a regular file" + lost);
  } else if (user != nullptr &&
             !user_can_write(place.file, place.folder, *user)) {
    add(found, FINDING_PROBLEM,
        "the user " + user->name + " cannot " +
            (place.file.exists ? "append to" : "create") + " the archive " +
            path + lost);
  } else if (user != nullptr) {
    add(found, FINDING_OK,
        "the user " + user->name + " can append to the archive " + path);
  }
  if (place.entry == OS_ENTRY_REGULAR && (place.file.mode & 04) != 0) {
    add(found, FINDING_WARNING,
        "archive_file " + path + " lets every user read the submissions (mode " +
            mode_text(place.file.mode) +
            "): take the others' read permission away (chmod o-r)");
  }
  std::string served = served_folder_of(path, document_root);
  if (!served.empty()) {
    add(found, FINDING_WARNING,
        "archive_file " + path + " lies inside " + served +
            ", which a web server may serve as files: anyone could download "
            "every submission; keep the archive outside it");
  }
}

int print_findings(const finding_list& found, FILE* out) {
  int problems = 0;
  int warnings = 0;
  for (const finding& f : found) {
    const char* prefix = "ok";
    if (f.kind == FINDING_WARNING) {
      prefix = "warning";
      ++warnings;
    } else if (f.kind == FINDING_PROBLEM) {
      prefix = "problem";
      ++problems;
    }
    fprintf(out, "%s: %s\n", prefix, f.text.c_str());
  }
  fprintf(out, "check: %d problem(s), %d warning(s)\n", problems, warnings);
  return problems > 0 ? 1 : 0;
}

namespace {

// What the check gathers from the system around the ini.
struct check_places {
  std::string ini_path;
  std::string folder;  // the executable's folder, full where it resolves
  std::string log_path;
  const char* document_root = "";
};

bool read_text_file(const char* path, std::string* text, int* error) {
  FILE* file = os_open_regular_file(path, error);
  if (file == nullptr) return false;
  char block[8192];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) text->append(block, n);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) *error = EIO;
  return !failed;
}

void check_pages(const checked_ini& ini, const check_places& places,
                 finding_list* found) {
  const struct {
    const char* setting;
    const char* path;
  } pages[] = {
      {"success_html_page", ini.settings.success_html_page},
      {"failure_html_page", ini.settings.failure_html_page},
      {"queued_html_page", ini.settings.queued_html_page},
      {"invalid_html_page", ini.settings.invalid_html_page},
  };
  for (const auto& page : pages) {
    if (page.path == nullptr) continue;
    std::string path = path_from_folder(page.path, places.folder);
    std::string where = "\"";
    where.append(page.path).append("\"");
    if (!is_absolute(page.path)) {
      where.append(" (").append(path).append(
          ": a relative path starts at the executable's folder, the working "
          "directory under every common web server)");
    }
    std::string text;
    int error = 0;
    if (!read_text_file(path.c_str(), &text, &error)) {
      add(found, FINDING_PROBLEM,
          std::string(page.setting) + " " + where + " cannot be read: " +
              strerror(error));
      continue;
    }
    add(found, FINDING_OK, std::string(page.setting) + " " + where + " reads");
    check_page_tokens(text, page.setting, ini.field_names, found);
  }
}

void check_served(const checked_ini& ini, const check_places& places,
                  const os_file_facts& ini_facts, finding_list* found) {
  const char* document_root = places.document_root;
  std::vector<std::string> files = {places.ini_path, places.log_path};
  if (ini.settings.rate_limit > 0) {
    files.push_back(rate_state_path(places.log_path.c_str()));
  }
  bool any = false;
  for (const std::string& file : files) {
    std::string served = served_folder_of(file, document_root);
    if (served.empty()) continue;
    any = true;
    bool secret = file == places.ini_path &&
                  ini.settings.smtp_password != nullptr;
    add(found, secret ? FINDING_PROBLEM : FINDING_WARNING,
        file + " lies inside " + served +
            ", which a web server may serve as files: anyone could download "
            "it" + (secret ? ", with the SMTP password" : ""));
  }
  if (any) add(found, FINDING_WARNING, deny_rules_text());
  if (ini.settings.smtp_password != nullptr && (ini_facts.mode & 04) != 0) {
    add(found, FINDING_PROBLEM,
        places.ini_path + " holds smtp_password and every user may read it "
            "(mode " + mode_text(ini_facts.mode) +
            "): take the others' read permission away (chmod o-r)");
  }
}

// The user whose rights decide: NAME, else www-data, else whoever runs this.
bool user_of_check(const char* wanted, os_user_ids* user, finding_list* found) {
  if (wanted != nullptr) {
    if (os_user_ids_of(wanted, user)) return true;
    add(found, FINDING_PROBLEM,
        std::string("there is no user ") + wanted + " to judge the files for");
    return false;
  }
  if (os_user_ids_of("www-data", user)) return true;
  std::string me = os_current_user_name();
  if (!me.empty() && os_user_ids_of(me.c_str(), user)) return true;
  add(found, FINDING_WARNING, "no user found to judge the files for");
  return false;
}

void check_writable(const checked_ini& ini, const check_places& places,
                    const os_user_ids& user, finding_list* found) {
  const std::string who = "the user " + user.name;
  os_file_facts file;
  os_file_facts folder;
  os_file_facts_of(places.log_path.c_str(), &file);
  os_file_facts_of(folder_of(places.log_path).c_str(), &folder);
  if (user_can_write(file, folder, user)) {
    add(found, FINDING_OK, who + " can write the log " + places.log_path);
  } else {
    add(found, FINDING_WARNING,
        who + " cannot write the log " + places.log_path +
            ": runs would leave no record");
  }
  if (ini.settings.spool_folder != nullptr) {
    std::string spool = path_from_folder(ini.settings.spool_folder,
                                         places.folder);
    os_file_facts_of(spool.c_str(), &folder);
    if (folder.is_folder && user_may(folder, user, 2 | 1)) {
      add(found, FINDING_OK, who + " can write the spool folder " + spool);
    } else {
      add(found, FINDING_PROBLEM,
          who + " cannot write the spool folder " + spool +
              (folder.exists ? "" : " (it does not exist)") +
              ": queued mail would be lost");
    }
  }
  if (ini.settings.rate_limit > 0) {
    rate_state_location state = rate_state_location_for(
        places.log_path.c_str(), places.ini_path.c_str(),
        os_temp_folder().c_str());
    os_file_facts_of(state.beside.c_str(), &file);
    os_file_facts_of(folder_of(state.beside).c_str(), &folder);
    if (user_can_write(file, folder, user)) {
      add(found, FINDING_OK,
          who + " can keep the rate-limit counts in " + state.beside);
    } else {
      add(found, FINDING_WARNING,
          who + " cannot keep the rate-limit counts in " + state.beside +
              "; runs keep them in " + state.fallback +
              " instead, which a cleaned temporary folder loses");
    }
  }
}

void probe_server(const checked_ini& ini, mail_prober probe,
                  finding_list* found) {
  std::string from;
  std::vector<std::string> recipients = probe_recipients(ini, &from);
  std::vector<probe_step> steps;
  probe(ini.settings, from.c_str(), recipients, &steps);
  // Whatever the probe said to the log stays unsaid.
  std::string held;
  log_take_held_lines(&held);
  add_probe_findings(steps, found);
}

}  // namespace

int check_command(int argc, char** args, const char* ini_path,
                  const char* log_path, const char* document_root,
                  mail_prober probe, service_prober probe_service,
                  FILE* out) {
  bool offline = false;
  const char* user_name = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(args[i], "-offline") == 0) {
      offline = true;
    } else if (strcmp(args[i], "-user") == 0 && i + 1 < argc) {
      user_name = args[++i];
    } else {
      fprintf(out,
              "problem: unknown option %s; use -check [-offline] [-user "
              "NAME]\n",
              args[i]);
      return 1;
    }
  }
  // The check writes nothing: the log points nowhere, and what the reader
  // and the probe say is held and dropped.
  log_set_path("");
  log_hold_lines();

  finding_list found;
  check_places places;
  places.ini_path = os_full_path(ini_path);
  places.folder = folder_of(places.ini_path);
  places.document_root = document_root;
  // The log lies beside the ini, named after the executable too.
  // npos + 1 is 0: a bare name is kept whole.
  std::string log_name = log_path;
  log_name.erase(0, log_name.find_last_of("/\\") + 1);
  places.log_path = path_from_folder(log_name.c_str(), places.folder);

  std::string text;
  int error = 0;
  if (!read_text_file(ini_path, &text, &error)) {
    add(&found, FINDING_PROBLEM,
        "the ini file " + places.ini_path + " cannot be read: " +
            strerror(error));
    return print_findings(found, out);
  }
  add(&found, FINDING_OK, "the ini file " + places.ini_path + " reads");
  // Kept until the process ends, as a run keeps its settings: the texts the
  // reader copied have no other owner.
  static checked_ini* const ini = new checked_ini;
  check_ini_lines(text.data(), static_cast<long>(text.size()), ini,
                  &found);
  check_message_settings(*ini, &found);
  check_service_settings(ini->settings, &found);
  check_pages(*ini, places, &found);
  os_file_facts ini_facts;
  os_file_facts_of(places.ini_path.c_str(), &ini_facts);
  check_served(*ini, places, ini_facts, &found);
  const char* not_judged = os_permissions_not_judged();
  os_user_ids user;
  bool judged = false;
  if (not_judged != nullptr) {
    add(&found, FINDING_WARNING, not_judged);
  } else if (user_of_check(user_name, &user, &found)) {
    judged = true;
    check_writable(*ini, places, user, &found);
  }
  if (ini->settings.archive_file != nullptr) {
    archive_place place;
    place.path = path_from_folder(ini->settings.archive_file, places.folder);
    place.entry = os_entry_at(place.path.c_str());
    os_file_facts_of(place.path.c_str(), &place.file);
    os_file_facts_of(folder_of(place.path).c_str(), &place.folder);
    check_archive_place(place, judged ? &user : nullptr, document_root,
                        &found);
  }
  if (!offline) {
    probe_server(*ini, probe, &found);
    probe_services(ini->settings, places.folder, probe_service, &found);
  }
  std::string held;
  log_take_held_lines(&held);
  return print_findings(found, out);
}

}  // namespace tarvelo
