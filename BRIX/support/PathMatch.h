// PathMatch.h: the pattern language of trust-rule paths and process names.
//
// '/' and '\' are both separators.  '*' matches a run of non-separator
// characters, '?' one non-separator character, "**/" (or "**\") a run of
// whole directories, anything else itself.  A pattern that is a prefix of
// the text always matches, before any wildcard handling.
#ifndef BRIX_PATHMATCH_H_
#define BRIX_PATHMATCH_H_

#include <list>
#include <string>

// One pattern against one path.
bool MatchFunction(std::string text, std::string pattern);
// True when the path matches any pattern of the ';'-separated list (empty
// pieces skipped; an empty list matches nothing).
bool MatchEventPathWithRulePath(const std::string& eventPath,
                                const std::string& rulePaths);
// Appends the pieces of text between delimiters, trimmed of blanks and
// tabs; empty pieces are dropped.
void split(const std::string& text, char delimiter,
           std::list<std::string>& out);

#endif  // BRIX_PATHMATCH_H_
