// What every extension module of the package needs to meet the host
// framework, one concern per header:
//
//   lifetime.hpp       how references are let go (at exit, and the last one
//                      of an object whose freeing runs Python code), and Kept
//   calls.hpp          C-API calls, attributes, items, unpacking, str.format
//   operators.hpp      Python's own arithmetic, truth and comparisons
//   base_calls.hpp     a base class's attributes as super() reaches them
//   entry.hpp          the guard of every entry from the interpreter
//   module.hpp         a module's entry point, its State and globals
//   names.hpp          interned names and constants kept at their call site
//   enum_member.hpp    the host's Enum members, remembered at their call site
//   binder.hpp         arguments bound to a Signature (parameters.hpp: the
//                      Signature, its names and text signature, in plain C++)
//                      and a body called with them
//   class_builder.hpp  fast-call entries and classes built out of them
//
// This header comes first in every module file, before Python's and
// pybind11's headers: lifetime.hpp, which each of these includes first, sets
// how pybind11 drops references.
#pragma once

#include "base_calls.hpp"
#include "binder.hpp"
#include "calls.hpp"
#include "class_builder.hpp"
#include "entry.hpp"
#include "enum_member.hpp"
#include "lifetime.hpp"
#include "module.hpp"
#include "names.hpp"
#include "operators.hpp"
