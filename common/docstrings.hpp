// Docstrings with the interpreter's text signature in front.
//
// The interpreter reads "name(arguments)\n--\n\n" at the start of a
// function's or a type's docstring as its signature (inspect.signature and
// help() show it, with $self, $type or $module standing for the bound
// first argument) and leaves only the text after it in __doc__.
#pragma once

#define ORVANE_DOC(signature, text) signature "\n--\n\n" text
