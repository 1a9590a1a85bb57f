#include "run/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "compose/abuse_checks.h"
#include "config/attachment_rules.h"
#include "config/ini_reader.h"
#include "form/body_readers.h"
#include "form/form_reader.h"
#include "pages/http_reply.h"
#include "run/archive_post.h"
#include "run/deliver.h"
#include "run/platform_http.h"
#include "run/webhook_call.h"
#include "smtp/socket_layer.h"
#include "smtp/tls_layer.h"
#include "support/dyn_text.h"
#include "support/exit_codes.h"
#include "support/log.h"
#include "support/os.h"
#include "tools/archive_csv.h"
#include "tools/check.h"
#include "tools/faq.h"
#include "tools/help.h"
#include "tools/release_tools.h"
#include "tools/render.h"
#include "tools/resend_spool.h"

namespace tarvelo {

void derive_path(const char* argv0, const char* suffix, char* out) {
  format_text(out, kPathMax + 1, "%s%s", argv0, suffix);
  // The executable may be called mailer.exe or mailer.cgi; its ini and log
  // take the place of that extension, and whatever followed it goes. Only
  // the file name is searched: a folder such as www.exeter.example or
  // site.cgi must not move them out of the executable's folder.
  char* name = out;
  for (char* p = out; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  for (const char* extension : {".exe", ".cgi"}) {
    char* hit = strstr(name, extension);
    if (hit != nullptr) {
      memcpy(hit, suffix, 4);
      hit[4] = '\0';
    }
  }
}

bool is_cgi_request(const char* gateway_interface, const char* request_method) {
  return gateway_interface != nullptr || request_method != nullptr;
}

bool method_may_send(const char* request_method) {
  return request_method == nullptr || strcmp(request_method, "POST") == 0;
}

bool is_preflight(const char* request_method, const mail_settings& settings) {
  return request_method != nullptr && strcmp(request_method, "OPTIONS") == 0 &&
         settings.cors_origin_count > 0;
}

reply_outcome reply_outcome_for(bool may_send, form_outcome form,
                                delivery_outcome delivery,
                                const mail_settings& settings) {
  if (!may_send) return REPLY_METHOD;
  switch (form) {
    case FORM_UNSUPPORTED:
      return REPLY_UNSUPPORTED;
    case FORM_TOO_LARGE:
      return REPLY_TOO_LARGE;
    case FORM_MALFORMED:
      return REPLY_MALFORMED;
    case FORM_READ:
      break;
  }
  switch (delivery) {
    case DELIVERY_SENT:
    case DELIVERY_DROPPED:
      return REPLY_SENT;
    case DELIVERY_QUEUED:
      return REPLY_QUEUED;
    case DELIVERY_INVALID:
      return REPLY_INVALID;
    case DELIVERY_FILES_REFUSED:
      // A site that never asked for the invalid reply keeps today's page.
      return settings.json_replies || settings.invalid_html_page != nullptr ||
                     settings.invalid_redirect != nullptr
                 ? REPLY_INVALID
                 : REPLY_FAILED;
    case DELIVERY_RATE_LIMITED:
      return REPLY_RATE_LIMITED;
    case DELIVERY_RATE_UNUSABLE:
    case DELIVERY_UNCHECKED:
      return REPLY_UNAVAILABLE;
    case DELIVERY_NOT_ALLOWED:
    case DELIVERY_FAILED:
      break;
  }
  return REPLY_FAILED;
}

void startup_report(int argc, const run_args& args, const run_paths& paths) {
  log_event(LOG_DEBUG, "argv[0] == %s", args.argv[0]);
  log_event(LOG_DEBUG, "Log file == %s", paths.log_path);
  log_event(LOG_DEBUG, "Ini file == %s", paths.ini_path);
  // The help may wait for an answer; the held lines stay held, and reach
  // the log at exit or when the run is stopped.
  if (argc >= 2) {
    print_help(paths.ini_path, stdin, stdout);
    exit(EXIT_RUN_DONE);
  }
}

namespace {

bool is_sole_argument(int argc, char** argv, const char* word) {
  return argc == 2 && strcmp(argv[1], word) == 0;
}

// Reads what the delivery takes from outside: the clock, the host's stamp
// for a standards-complete message, the client's address and, only when a
// rate limit is set, where its counts live.
run_moment read_run_moment(const mail_settings& settings) {
  run_moment moment;
  // Host name and random bytes cost system calls a plain message never uses.
  if (settings.add_standard_headers) read_message_stamp(&moment.stamp);
  moment.unix_microseconds = os_time_microseconds();
  moment.client = env_or_empty("REMOTE_ADDR");
  moment.services_deadline_ms =
      os_monotonic_ms() + settings.smtp_timeout * 1000LL;
  moment.poster = platform_http_post;
  if (settings.rate_limit > 0) {
    moment.rate_state = rate_state_location_for(
        log_path(), os_full_path(ini_path_for_log(log_path()).c_str()).c_str(),
        os_temp_folder().c_str());
  }
  return moment;
}

void load_ini_of_run() {
  load_ini(the_run_paths.ini_path, &the_mail_settings, &the_header_list,
           &the_body_list, &the_form_table);
}

// What the form reader takes from the environment. Only a multipart body
// may carry files, so only then is the ini scanned (silently) for their
// limit before the ini is read in earnest.
form_request form_request_of_run(long long form_deadline_ms) {
  form_request request;
  request.content_length = env_or_empty("CONTENT_LENGTH");
  request.content_type = env_or_empty("CONTENT_TYPE");
  request.deadline_ms = form_deadline_ms;
  request.idle_limit_ms = kFormTimeLimitMs;
  if (form_encoding_of(request.content_type) == FORM_MULTIPART) {
    request.max_attachment_bytes =
        max_attachment_bytes_in_ini(the_run_paths.ini_path);
  }
  return request;
}

// argc counts the arguments that count: 1 for a web server's run.
// request_method is null for a run by hand.
int cgi_run(int argc, int ignored_arguments, const char* request_method,
            long long form_deadline_ms) {
  // Every line is held until the ini has been read: its final logging
  // value decides on the lines that carry submitted data.
  log_hold_lines();
  // The page goes out at exit. With a buffer given, the C library does not
  // first ask what standard output is (fstat, and isatty on a device).
  static char page_buffer[16384];
  setvbuf(stdout, page_buffer, _IOFBF, sizeof page_buffer);
  log_event(LOG_DEBUG, "starting version %s", program_version);
  startup_report(argc, the_run_args, the_run_paths);
  if (ignored_arguments > 0) {
    log_event(LOG_DEBUG,
              "run by a web server: %d command-line argument(s) ignored.",
              ignored_arguments);
  }
  bool may_send = method_may_send(request_method);
  reply_request request;
  request.accept = env_or_empty("HTTP_ACCEPT");
  request.origin = env_or_empty("HTTP_ORIGIN");
  form_outcome form = FORM_READ;
  if (may_send) {
    log_event(LOG_DEBUG, "getting form info.");
    form = read_form(form_request_of_run(form_deadline_ms), &the_form_table);
  }
  log_event(LOG_DEBUG, "loading config file.");
  load_ini_of_run();
  log_release_lines();
  delivery_outcome outcome = DELIVERY_FAILED;
  field_problems problems;
  // A refused body sends nothing; read_form logged why.
  if (may_send && form == FORM_READ) {
    log_event(LOG_DEBUG, "generating email.");
    run_moment moment = read_run_moment(the_mail_settings);
    outcome = compose_and_send(the_mail_settings, the_header_list,
                               the_body_list, &the_form_table, moment,
                               &the_envelope, &problems, smtp_send_mail);
    // A post that went out, or waits in the spool, is kept and announced;
    // neither changes what the visitor gets.
    archive_post(the_mail_settings, the_run_args.argv[0], outcome, moment,
                 the_form_table);
    if (the_mail_settings.webhook_url != nullptr &&
        (outcome == DELIVERY_SENT || outcome == DELIVERY_QUEUED)) {
      post_webhook(the_mail_settings,
                   submission_head_for(the_mail_settings, the_run_args.argv[0],
                                       outcome == DELIVERY_QUEUED,
                                       moment.unix_microseconds, moment.client),
                   the_form_table, os_monotonic_ms(),
                   moment.services_deadline_ms, platform_http_post);
    }
  } else if (!may_send) {
    // A browser asks before a cross-origin fetch() with a JSON or other
    // non-simple request (the Fetch standard's CORS preflight); that is no
    // failed post.
    if (is_preflight(request_method, the_mail_settings)) {
      send_preflight(request, the_mail_settings, stdout);
      log_event(LOG_DEBUG, "ended.");
      return EXIT_RUN_DONE;
    }
    // A crawler, a link prefetch or an image that points here must not
    // mail the owner an empty form.
    log_event(LOG_ERRORS, "request method %s is not POST: no mail sent",
              request_method);
  }
  reply_outcome reply =
      reply_outcome_for(may_send, form, outcome, the_mail_settings);
  if (reply == REPLY_SENT) {
    log_event(LOG_DEBUG, "sending success reply message.");
  } else if (reply == REPLY_QUEUED) {
    log_event(LOG_DEBUG, "sending queued reply message.");
  } else {
    log_event(LOG_DEBUG, "sending failure reply message.");
  }
  send_reply(reply, request, the_mail_settings, &the_form_table, problems,
             stdout);
  log_event(LOG_DEBUG, "ended.");
  return EXIT_RUN_DONE;
}

// -render FILE: the post in FILE judged, composed and printed as a run
// would send and answer it. Nothing is written: no log line, no spool file,
// no rate-limit state, no connection.
int render_run(const char* body_path, long long form_deadline_ms) {
  log_set_path(nullptr);
  long long size = 0;
  std::string why;
  if (!reopen_stdin_on(body_path, &size, &why)) {
    fprintf(stderr, "-render: cannot read %s: %s\n", body_path, why.c_str());
    return EXIT_TOOL_FAILED;
  }
  // Without a log an unreadable ini would end the run without a word.
  long long ini_size = 0;
  if (!file_readable(the_run_paths.ini_path, &ini_size, &why)) {
    fprintf(stderr, "-render: cannot read the ini file %s: %s\n",
            the_run_paths.ini_path, why.c_str());
    return EXIT_TOOL_FAILED;
  }
  std::string content_length = std::to_string(size);
  form_request request = form_request_of_run(form_deadline_ms);
  request.content_length = content_length.c_str();
  render_inputs in;
  in.read = read_form(request, &the_form_table);
  load_ini_of_run();
  if (the_mail_settings.add_standard_headers) read_message_stamp(&in.stamp);
  in.settings = &the_mail_settings;
  in.headers = &the_header_list;
  in.body = &the_body_list;
  in.form = &the_form_table;
  in.client = env_or_empty("REMOTE_ADDR");
  in.request.accept = env_or_empty("HTTP_ACCEPT");
  in.request.origin = env_or_empty("HTTP_ORIGIN");
  render_post(in, stdout);
  return EXIT_RUN_DONE;
}

// The -check switch's probe, over the platform's sockets and TLS.
bool probe_with_platform(const mail_settings& settings, const char* from,
                         const std::vector<std::string>& recipients,
                         std::vector<probe_step>* steps) {
  static bool sockets_started = false;
  smtp_job job = smtp_job_for_settings(settings);
  job.from = from;
  return probe_mail_server(job, recipients, platform_net(), platform_tls(),
                           &sockets_started, steps);
}

// The -check switch's probe of a service's URL, over the platform's
// sockets and TLS.
bool probe_service_with_platform(const http_url& url, const char* ca_file,
                                 int timeout_seconds,
                                 http_response* response) {
  static bool sockets_started = false;
  net_ops* net = platform_net();
  return http_probe(url, ca_file, net->now_ms() + timeout_seconds * 1000LL,
                    net, platform_tls(), &sockets_started, response);
}

}  // namespace

int run_main(int argc, char** argv) {
  static char* no_args[] = {const_cast<char*>(""), nullptr};
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
    argc = 1;
    argv = no_args;
  }
  // Reading the form may take this long from the start of the run.
  long long form_deadline_ms = os_monotonic_ms() + kFormTimeLimitMs;
  the_run_args.argc = argc;
  the_run_args.argv = argv;
  derive_path(argv[0], ".ini", the_run_paths.ini_path);
  derive_path(argv[0], ".log", the_run_paths.log_path);
  log_set_path(the_run_paths.log_path);

  // RFC 3875 4.4: a web server may pass a query string without "=" as
  // arguments (?-blanklog arrives as argv[1]). A visitor chooses those, so
  // a run by a web server takes no switches.
  const char* request_method = env_or_null("REQUEST_METHOD");
  if (is_cgi_request(env_or_null("GATEWAY_INTERFACE"), request_method)) {
    return cgi_run(1, argc - 1, request_method, form_deadline_ms);
  }

  if (is_sole_argument(argc, argv, "-version") ||
      is_sole_argument(argc, argv, "-?")) {
    printf("\nTARVELO web form to e-mail gateway, by the TARVELO developers. "
           "Version: %s\n",
           program_version);
    return EXIT_RUN_DONE;
  }
  if (is_sole_argument(argc, argv, "-FAQ")) {
    print_faq_page();
    return EXIT_RUN_DONE;
  }
  if (is_sole_argument(argc, argv, "-resend_spool")) {
    log_event(LOG_DEBUG, "resend_spool: loading config file.");
    load_ini_of_run();
    return resend_spool_command(
        the_run_paths.ini_path, the_mail_settings.spool_folder,
        smtp_job_for_settings(the_mail_settings), stdout);
  }
  if (argc >= 2 && strcmp(argv[1], "-check") == 0) {
    return check_command(argc - 2, argv + 2, the_run_paths.ini_path,
                         the_run_paths.log_path, env_or_empty("DOCUMENT_ROOT"),
                         probe_with_platform, probe_service_with_platform,
                         stdout);
  }
  if (is_sole_argument(argc, argv, "-blanklog")) {
    exit(write_blank_log(the_run_paths.log_path, stdout));
  }
  if (argc == 3 && strcmp(argv[1], "-archive_csv") == 0) {
    return archive_csv_command(argv[2], stdout, stderr);
  }
  if (argc == 3 && strcmp(argv[1], "-render") == 0) {
    return render_run(argv[2], form_deadline_ms);
  }
  if (argc >= 2 && strcmp(argv[1], "-version_insert_filename") == 0) {
    exit(rename_release_file(argc, argv, program_version, stdout));
  }
  return cgi_run(argc, 0, nullptr, form_deadline_ms);
}

}  // namespace tarvelo
