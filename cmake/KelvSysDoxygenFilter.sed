# Doxygen input filter for the public headers: their plain contract comments
# become documentation comments. Line 1 is the licence tag and stays a plain
# comment; the comment on line 2 documents the file; a later /* or // comment
# that starts a line documents the declaration after it; a /* comment after a
# member's ';' or an enumerator's ',' documents that member.
2s|^/\* |/** @file\n * |
2s|^// |/// @file\n/// |
3,$s|^\( *\)/\* |\1/** |
s|\([;,]\) */\* |\1 /**< |
3,$s|^\( *\)// |\1/// |
# Placeholders such as <path> in comment lines are text, not HTML tags
# (inside quoted text doxygen shows them as they stand).
/^ *\(\/\*\*\|\*\|\/\/\/\)/{
  /"/!s|<\([a-z][a-z0-9 _.]*\)>|\&lt;\1\&gt;|g
}
