// The FAQ page printed by the -FAQ switch.
//
// The questions and answers are one fixed list of lines with marker lines
// in it ("[q]", "[a]", "[pre]", "[/pre]"); the page prints that list twice
// under two rule tables: once as a table of contents, once in full.
//
// State owned here: the match counters of toc_rules and body_rules, which
// start at 0 with the process and are never reset.
#pragma once

#include <cstdio>

namespace tarvelo {

// Lines are handled in a 2000-byte buffer: at most 1998 characters of a
// line, of a formatted replacement and of an escaped line are used.
constexpr int kFaqLineStorage = 2000;
constexpr int kFaqLineMax = 1998;

// Number of entries in each rule table, the end entry included.
constexpr int kFaqRuleEntries = 5;

// What a matching rule does to the showing of lines. The numbers are the
// ones the rule tables are documented with.
enum faq_show_mode : int {
  FAQ_SHOW_NEXT = 0,       // this line printed if shown; shown from the next
  FAQ_HIDE_NEXT = 1,       // this line printed if shown; hidden from the next
  FAQ_SHOW_UNCHANGED = 2,  // no change
  FAQ_SHOW_NOW = 3,        // shown from this line on
};

// What a matching rule does to HTML escaping.
enum faq_escape_mode : int {
  FAQ_RAW_NOW = 0,      // raw from this line on
  FAQ_ESCAPE_NOW = 1,   // escaped from this line on
  FAQ_ESCAPE_NEXT = 2,  // escaped from the next line on
  FAQ_RAW_NEXT = 3,     // raw from the next line on
};

struct faq_rule {
  const char* marker;       // null in the end entry
  const char* replacement;  // printf format; each conversion gets count
  int count;
  faq_show_mode show_mode;
  faq_escape_mode escape_mode;
};

// The table of contents rules and the question-and-answer rules.
extern faq_rule toc_rules[kFaqRuleEntries];
extern faq_rule body_rules[kFaqRuleEntries];

// The questions and answers, ended by a null entry.
extern const char* const faq_lines[];

// Prints the whole FAQ page on standard output. Nothing is logged.
void print_faq_page();

// Prints the page head, lines under toc, "</UL><BR>", lines under body and
// the page tail to out. Advances the counters of both tables.
void print_faq_page_to(const char* const* lines, faq_rule* toc, faq_rule* body,
                       FILE* out);

// Prints lines (ended by a null entry) once to out under rules: each line
// gets the replacement of every rule whose marker it holds (first
// occurrence only, rules in table order), and the modes of the last
// matching rule decide what is shown and what is HTML-escaped. Advances the
// counters of the matching rules.
void print_faq_section(const char* const* lines, faq_rule* rules, FILE* out);

// Escapes &, <, > and the double quote of text (at most 1998 characters of
// output; an entity that would not fit whole ends the text) and prints the
// result to out through format, which takes one "%s".
void html_escape_print(FILE* out, const char* format, const char* text);

}  // namespace tarvelo
