# Doxygen input filter for the public headers: their plain contract comments
# become documentation comments. The first comment of a file documents the
# file; a later /* or // comment that starts a line documents the declaration
# after it; a /* comment after a member's ';' or an enumerator's ',' documents
# that member.
1s|^/\* |/** @file\n * |
1s|^// |/// @file\n/// |
2,$s|^\( *\)/\* |\1/** |
s|\([;,]\) */\* |\1 /**< |
2,$s|^\( *\)// |\1/// |
# Placeholders such as <path> in comment lines are text, not HTML tags
# (inside quoted text doxygen shows them as they stand).
/^ *\(\/\*\*\|\*\|\/\/\/\)/{
  /"/!s|<\([a-z][a-z0-9 _.]*\)>|\&lt;\1\&gt;|g
}
