// Text rules of the mail object that need no object: entries of address
// lists, attachment lists and their directory form, short file names, header
// fields of a supplied message, and making field text safe for a header line
// or an SMTP command. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::mail {

// Width of the name and address that an address-list entry yields.
inline constexpr size_t kAddressPartWidth = 80;

// Entry `index` (from 1) of an address list separated by "," or ";": true and
// *name/*address set when it exists and is not empty. A separator inside a
// double-quoted string or inside "<...>" belongs to the entry, so
// "\"Doe, John\" <john@example.com>" is one entry. "Name <addr>" gives both
// parts; a bare entry is both name and address. The quotes of the name are
// removed and its backslash escapes resolved.
bool TakeEmailAddress(std::string_view list, uint32_t index, std::string* name,
                      std::string* address);

// The directory form "dir|a.wav|b.wav" rewritten as "\"dir/a.wav\", \"dir/b.wav\"";
// a list without "|" comes back unchanged.
std::string ExpandDirectoryForm(std::string_view list);
// The paths an attachment list names, in order; false when the list is not
// well formed. Three forms: the directory form "dir|a.wav|b.wav" (each name
// after a "|" taken as it is, joined to the directory); a list of
// double-quoted paths separated by commas, with nothing but spaces outside
// the quotes; or paths separated by ",". Entries are trimmed, empty ones
// skipped. A list that mixes the forms, such as x"y"z, is not well formed:
// it never yields a path that was only part of what the caller wrote.
bool SplitAttachmentList(std::string_view list, std::vector<std::string>* paths);
// SplitAttachmentList's paths; empty when the list is not well formed.
std::vector<std::string> AttachmentEntries(std::string_view list);
// The text after the last "/" or "\" (the whole path when it has neither).
std::string_view ShortName(std::string_view path);
// The text after the last "/": the name of a file named literally, in which
// a "\" is an ordinary character.
std::string_view LiteralShortName(std::string_view path);

// Value of header field `field` (such as "To:") of a whole message: the
// first line of the header (up to the first empty line) that starts with it,
// compared without regard to case, with its continuation lines joined (their
// line breaks dropped). Empty when missing or when there is no empty line.
std::string HeaderFieldValue(std::string_view message, std::string_view field);

// True when `text` holds a CR or an LF.
bool HasLineBreak(std::string_view text);
// A one-line header value: every run of CR and LF becomes one space.
std::string OneLine(std::string_view text);
// Extra header lines made safe: line ends become CR LF and empty lines are
// dropped, so the text can never end the header early.
std::string SafeExtraHeader(std::string_view text);
// True when the name can stand as it is between double quotes in a header:
// printable ASCII without a double quote or a backslash.
bool PlainFileName(std::string_view name);
// The parameter for a file name in a part header: `key` + "=" + the name in
// double quotes when it is plain; otherwise the RFC 2231 form `key` + "*=" +
// charset + "''" + the name percent-encoded, the charset being utf-8 when
// the name is valid UTF-8, else windows-1252. A long encoded value is split
// into continuations (`key`*0*=, `key`*1*=, ...) on folded lines.
std::string FileNameParameter(std::string_view key, std::string_view name);
// `key` + "=" + an ASCII stand-in for the name in double quotes, for readers
// that do not know the RFC 2231 form: every character that is not plain
// (non-ASCII character, control byte, double quote, backslash) becomes "_".
std::string FallbackFileNameParameter(std::string_view key, std::string_view name);
// The name as it may stand inside "<...>" of a Content-ID: bytes that would
// break the line or the brackets percent-encoded, others unchanged.
std::string ContentIdText(std::string_view name);

}  // namespace vm::mail
