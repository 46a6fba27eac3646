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
// *name/*address set when it exists and is not empty. "Name <addr>" gives
// both parts; a bare entry is both name and address. Double quotes are
// removed from the name.
bool TakeEmailAddress(std::string_view list, uint32_t index, std::string* name, std::string* address);

// The directory form "dir|a.wav|b.wav" rewritten as "\"dir/a.wav\", \"dir/b.wav\"";
// a list without "|" comes back unchanged.
std::string ExpandDirectoryForm(std::string_view list);
// The entries of an attachment list in order: between pairs of double quotes
// when the list holds any, else separated by ","; trimmed, outer quotes
// removed, empty entries skipped.
std::vector<std::string> AttachmentEntries(std::string_view list);
// The text after the last "/" or "\" (the whole path when it has neither).
std::string_view ShortName(std::string_view path);

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
// The parameter for a file name in a part header: `key` + "=" + the name in
// double quotes, or, when the name holds a double quote, a backslash or a
// control byte, `key` + "*=utf-8''" + the name percent-encoded.
std::string FileNameParameter(std::string_view key, std::string_view name);
// The name as it may stand inside "<...>" of a Content-ID: bytes that would
// break the line or the brackets percent-encoded, others unchanged.
std::string ContentIdText(std::string_view name);

}  // namespace vm::mail
