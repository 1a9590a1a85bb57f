// Where a reply page stands in its HTML. The owner's page is read as one
// stream, a character at a time, by the tokenizer of the HTML Living
// Standard (section 13.2.5), cut down to what decides where submitted text
// may go: text, tags and their attributes, comments, raw text elements
// (script, style and their kin), and SVG or MathML content.
//
// State owned here: none; the caller keeps one html_tokenizer per page.
#pragma once

#include <string>

namespace tarvelo {

enum html_state : unsigned char {
  HTML_DATA,
  HTML_TAG_OPEN,
  HTML_END_TAG_OPEN,
  HTML_TAG_NAME,
  HTML_BEFORE_ATTR_NAME,
  HTML_ATTR_NAME,
  HTML_AFTER_ATTR_NAME,
  HTML_BEFORE_ATTR_VALUE,
  HTML_ATTR_VALUE_DOUBLE,
  HTML_ATTR_VALUE_SINGLE,
  HTML_ATTR_VALUE_UNQUOTED,
  HTML_AFTER_ATTR_VALUE,
  HTML_SELF_CLOSING,
  HTML_MARKUP_DECLARATION,
  HTML_BOGUS_COMMENT,
  HTML_DOCTYPE,
  HTML_COMMENT_START,
  HTML_COMMENT_START_DASH,
  HTML_COMMENT,
  HTML_COMMENT_END_DASH,
  HTML_COMMENT_END,
  HTML_COMMENT_END_BANG,
  HTML_CDATA,
  HTML_CDATA_BRACKET,
  HTML_CDATA_END,
  // title and textarea: text, but only their own end tag ends it.
  HTML_RCDATA,
  HTML_RCDATA_LESS_THAN,
  HTML_RCDATA_END_TAG_OPEN,
  HTML_RCDATA_END_TAG_NAME,
  // style, xmp, iframe, noembed, noframes, noscript.
  HTML_RAWTEXT,
  HTML_RAWTEXT_LESS_THAN,
  HTML_RAWTEXT_END_TAG_OPEN,
  HTML_RAWTEXT_END_TAG_NAME,
  HTML_SCRIPT,
  HTML_SCRIPT_LESS_THAN,
  HTML_SCRIPT_END_TAG_OPEN,
  HTML_SCRIPT_END_TAG_NAME,
  HTML_SCRIPT_ESCAPE_START,
  HTML_SCRIPT_ESCAPE_START_DASH,
  HTML_SCRIPT_ESCAPED,
  HTML_SCRIPT_ESCAPED_DASH,
  HTML_SCRIPT_ESCAPED_DASH_DASH,
  HTML_SCRIPT_ESCAPED_LESS_THAN,
  HTML_SCRIPT_ESCAPED_END_TAG_OPEN,
  HTML_SCRIPT_ESCAPED_END_TAG_NAME,
  HTML_SCRIPT_DOUBLE_ESCAPE_START,
  HTML_SCRIPT_DOUBLE_ESCAPED,
  HTML_SCRIPT_DOUBLE_ESCAPED_DASH,
  HTML_SCRIPT_DOUBLE_ESCAPED_DASH_DASH,
  HTML_SCRIPT_DOUBLE_ESCAPED_LESS_THAN,
  HTML_SCRIPT_DOUBLE_ESCAPE_END,
  HTML_PLAINTEXT,
};

constexpr int kHtmlNameSize = 24;

// A name is kept lower-cased up to kHtmlNameSize - 1 characters; a longer
// one is marked so that it equals no known name.
struct html_name {
  char text[kHtmlNameSize] = {};
  unsigned char length = 0;
  bool too_long = false;
};

// Plain data, so a caller may copy it to look ahead.
struct html_tokenizer {
  html_state state = HTML_DATA;
  bool end_tag = false;       // the tag being read is an end tag
  bool self_closing = false;  // it ended with "/>"
  // Open svg and math elements. Inside them the parser does not switch to
  // raw text for script or style, so nothing there is ever filled.
  int foreign_depth = 0;
  // Set for good when foreign content holds a tag after which the parser's
  // view of the page cannot be followed without building the tree (an HTML
  // element that breaks out of it, an integration point, a raw text
  // element); nothing is filled from then on.
  bool lost = false;
  html_name tag;
  html_name attribute;
  html_name raw_element;  // whose end tag ends raw text or RCDATA
  html_name buffer;       // a candidate end tag name
  char declaration[7] = {};  // what follows "<!", as written
  unsigned char declaration_length = 0;
};

// What a character did, as bits.
enum html_event {
  HTML_VALUE_START = 1,  // it opened a quoted value; the value follows it
  HTML_VALUE_END = 2,    // it ended a value and is not part of it
  HTML_TAG_END = 4,      // it ended a tag, after the tag's actions ran
};

// Feeds one character of the page (a carriage return counts as the line
// feed the parser turns it into). Returns the html_event bits it caused.
int html_step(html_tokenizer* t, unsigned char c);

// True when c, read now, begins an unquoted attribute value: the caller
// then sets the state to HTML_ATTR_VALUE_UNQUOTED itself before feeding c,
// as the value's first character.
bool html_unquoted_value_begins(const html_tokenizer& t, unsigned char c);

// True when s is the lower-case name held in n.
bool html_name_is(const html_name& n, const char* s);

// Decides whether an attribute value is safe to carry text that a visitor
// supplied. value is the value as written in the page; character
// references in it are decoded as a browser would for every character that
// can shape a scheme. Returns false when, with TAB, LF and CR removed
// anywhere and leading blanks and control characters removed, the value has
// an RFC 3986 scheme other than http, https or mailto (case ignored).
bool html_url_is_allowed(const std::string& value);

// Like html_url_is_allowed for the content of <meta http-equiv="refresh">:
// both the whole value and the address after "url=" must be allowed.
bool html_refresh_is_allowed(const std::string& value);

// Decodes the character references of value that matter to a scheme:
// numeric ones (with or without ";"), and the named ones that stand for
// ":", "/", "?", "#", "+", ".", TAB, LF, "&", "<", ">" and quotes. A code
// point beyond ASCII becomes the byte 0x80, which is no scheme character.
std::string html_decode_references(const std::string& value);

}  // namespace tarvelo
