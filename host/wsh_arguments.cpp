// WScript.Arguments with its Named and Unnamed views, split as the Windows
// host splits a command line.
//
// Each list is a callable object (args(0) calls Item) with Item, Count,
// length and its entries at their indices, which the Enumerator walks: the
// arguments, the unnamed arguments, or the names of the named ones.
#include <cstring>

#include "host/dispatch_object.h"
#include "host/wscript_parts.h"

namespace tessary::host {
namespace {

constexpr const char* kListKey = DUK_HIDDEN_SYMBOL("list");
constexpr const char* kValuesKey = DUK_HIDDEN_SYMBOL("values");
constexpr const char* kLowerKey = "String.prototype.toLowerCase";

// The key a name is looked up by: names match whatever their case. The
// original toLowerCase is kept aside, so a script that replaces it does not
// change the lookup.
void PushKey(duk_context* ctx, duk_idx_t name) {
  name = duk_normalize_index(ctx, name);
  StashGet(ctx, kLowerKey);
  duk_dup(ctx, name);
  duk_to_string(ctx, -1);
  duk_call_method(ctx, 0);
}

duk_ret_t ListItem(duk_context* ctx) {
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kListKey);
  double index = duk_to_number(ctx, 0);
  double count = static_cast<double>(duk_get_length(ctx, -1));
  if (!(index >= 0 && index < count) ||
      index != static_cast<double>(static_cast<duk_uint_t>(index)))
    ThrowHostError(ctx, kSubscriptOutOfRange, "Subscript out of range");
  duk_get_prop_index(ctx, -1, static_cast<duk_uarridx_t>(index));
  return 1;
}

duk_ret_t ListCount(duk_context* ctx) {
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kListKey);
  duk_push_uint(ctx, static_cast<duk_uint_t>(duk_get_length(ctx, -1)));
  return 1;
}

// Named.Item(name): the value, "" for a switch without one, true or false
// for "/name+" and "/name-"; undefined when the name was not given.
duk_ret_t NamedItem(duk_context* ctx) {
  duk_set_top(ctx, 1);
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kValuesKey);
  PushKey(ctx, 0);
  if (!duk_get_prop(ctx, -2)) return 0;
  return 1;
}

duk_ret_t NamedExists(duk_context* ctx) {
  duk_set_top(ctx, 1);
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kValuesKey);
  PushKey(ctx, 0);
  duk_push_boolean(ctx, duk_has_prop(ctx, -2));
  return 1;
}

// Attaches `list` (an array) and, when `values` is not 0, the named values
// to the function at the top of the stack.
void Attach(duk_context* ctx, duk_idx_t list, duk_idx_t values) {
  duk_dup(ctx, list);
  duk_put_prop_string(ctx, -2, kListKey);
  if (values) {
    duk_dup(ctx, values);
    duk_put_prop_string(ctx, -2, kValuesKey);
  }
}

// Pushes the list object over the array at `list`; `values` (an object
// keyed by lower-case name, or 0) makes it the Named view.
void PushList(duk_context* ctx, duk_idx_t list, duk_idx_t values) {
  list = duk_normalize_index(ctx, list);
  if (values) values = duk_normalize_index(ctx, values);
  duk_c_function item = values ? Native<NamedItem> : Native<ListItem>;
  duk_idx_t obj = duk_push_c_function(ctx, item, 1);
  Attach(ctx, list, values);
  duk_push_c_function(ctx, item, 1);
  Attach(ctx, list, values);
  duk_put_prop_string(ctx, obj, "Item");
  duk_push_c_function(ctx, Native<ListCount>, 0);
  Attach(ctx, list, 0);
  duk_put_prop_string(ctx, obj, "Count");
  if (values) {
    duk_push_c_function(ctx, Native<NamedExists>, 1);
    Attach(ctx, list, values);
    duk_put_prop_string(ctx, obj, "Exists");
  }
  duk_size_t count = duk_get_length(ctx, list);
  duk_push_string(ctx, "length");
  duk_push_uint(ctx, static_cast<duk_uint_t>(count));
  duk_def_prop(ctx, obj, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_FORCE);
  for (duk_size_t i = 0; i < count; ++i) {
    duk_get_prop_index(ctx, list, static_cast<duk_uarridx_t>(i));
    duk_put_prop_index(ctx, obj, static_cast<duk_uarridx_t>(i));
  }
}

void Append(duk_context* ctx, duk_idx_t array) {
  duk_put_prop_index(ctx, array, static_cast<duk_uarridx_t>(duk_get_length(ctx, array)));
}

}  // namespace

SplitArgument SplitOne(const char* argument, size_t size) {
  SplitArgument split;
  if (size < 2 || argument[0] != '/' || argument[1] == ':') return split;
  split.name_start = 1;
  if (const void* found = std::memchr(argument + 1, ':', size - 1)) {
    const char* colon = static_cast<const char*>(found);
    split.kind = SplitArgument::kText;
    split.name_size = static_cast<size_t>(colon - argument) - 1;
    split.value_start = static_cast<size_t>(colon - argument) + 1;
    return split;
  }
  char last = argument[size - 1];
  if (last == '+' || last == '-') {
    if (size == 2) return split;  // "/+" and "/-" name nothing
    split.kind = last == '+' ? SplitArgument::kOn : SplitArgument::kOff;
    split.name_size = size - 2;
    return split;
  }
  split.kind = SplitArgument::kText;
  split.name_size = size - 1;
  split.value_start = size;
  return split;
}

void PushArguments(duk_context* ctx, int argc, char** argv) {
  duk_get_global_string(ctx, "String");
  duk_get_prop_string(ctx, -1, "prototype");
  duk_get_prop_string(ctx, -1, "toLowerCase");
  StashPut(ctx, kLowerKey);
  duk_pop_2(ctx);

  duk_idx_t all = duk_push_array(ctx);
  duk_idx_t unnamed = duk_push_array(ctx);
  duk_idx_t names = duk_push_array(ctx);
  duk_idx_t values = duk_push_bare_object(ctx);
  for (int i = 0; i < argc; ++i) {
    PushUtf8(ctx, argv[i]);
    duk_dup_top(ctx);
    Append(ctx, all);
    duk_size_t size = 0;
    const char* text = duk_get_lstring(ctx, -1, &size);
    SplitArgument split = SplitOne(text, size);
    if (split.kind == SplitArgument::kUnnamed) {
      Append(ctx, unnamed);
      continue;
    }
    duk_push_lstring(ctx, text + split.name_start, split.name_size);
    PushKey(ctx, -1);
    // The last value of a repeated name wins; the name keeps its place.
    if (!duk_has_prop(ctx, values)) {
      duk_dup_top(ctx);
      Append(ctx, names);
    }
    PushKey(ctx, -1);
    if (split.kind == SplitArgument::kText) {
      duk_push_lstring(ctx, text + split.value_start, size - split.value_start);
    } else {
      duk_push_boolean(ctx, split.kind == SplitArgument::kOn);
    }
    duk_put_prop(ctx, values);
    duk_pop_2(ctx);  // the name and the argument
  }

  PushList(ctx, all, 0);
  PushList(ctx, unnamed, 0);
  duk_put_prop_string(ctx, -2, "Unnamed");
  PushList(ctx, names, values);
  duk_put_prop_string(ctx, -2, "Named");
  duk_replace(ctx, all);
  duk_pop_3(ctx);
}

}  // namespace tessary::host
