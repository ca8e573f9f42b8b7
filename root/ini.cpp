// The root object's INI file entries over the system's profile services.
// The component adds the buffer policy for long values and the text form
// of numbers and booleans. Reads never fail: anything they cannot read
// gives the default.
#include <string>

#include "frame/values.h"
#include "platform/profile.h"
#include "root/tessary.h"

namespace {

constexpr DWORD kFirstStringBuffer = 100;
constexpr DWORD kLastStringBuffer = 1000000;
constexpr DWORD kIntegerBuffer = 255;
constexpr DWORD kBooleanBuffer = 30;

// An argument as the profile service takes it; text the code page cannot
// hold, or that holds a NUL, does not reach the service.
bool Text(BSTR text, std::string* out) {
  return SUCCEEDED(tessary::ToAnsi(text, out)) && out->find('\0') == std::string::npos;
}

// The automation text form of a 32-bit number ("-1", "42").
std::string NumberText(LONG number) {
  VARIANT in;
  VARIANT out;
  VariantInit(&in);
  VariantInit(&out);
  in.vt = VT_I4;
  in.lVal = number;
  std::string text;
  if (SUCCEEDED(VariantChangeType(&out, &in, 0, VT_BSTR)) && out.vt == VT_BSTR &&
      !Text(out.bstrVal, &text)) {
    text.clear();
  }
  if (text.empty()) text = std::to_string(number);
  VariantClear(&out);
  return text;
}

// The number a stored text stands for, as the automation conversion reads
// it; false when it is no 32-bit number.
bool TextNumber(const std::string& text, LONG* number) {
  tessary::Bstr wide;
  if (FAILED(wide.FromAnsi(text))) return false;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = wide.Detach();
  const HRESULT hr = VariantChangeType(&value, &value, 0, VT_I4);
  const bool ok = SUCCEEDED(hr) && value.vt == VT_I4;
  if (ok) *number = value.lVal;
  VariantClear(&value);
  return ok;
}

// A read with a buffer of `size` bytes: the text and the count the service
// reported.
DWORD ReadProfile(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& fallback, DWORD size, std::string* text) {
  text->assign(size, '\0');
  DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(),
                                          &(*text)[0], size, file.c_str());
  if (length >= size) length = size - 1;
  text->resize(length);
  return length;
}

// A number read with the default's text as the service's default; false
// when the text read is no number.
bool ReadNumber(BSTR file_name, BSTR section, BSTR key, LONG default_value, DWORD size,
                LONG* number) {
  std::string file, sect, name;
  if (!Text(file_name, &file) || !Text(section, &sect) || !Text(key, &name)) return false;
  std::string text;
  ReadProfile(file, sect, name, NumberText(default_value), size, &text);
  return TextNumber(text, number);
}

}  // namespace

HRESULT Tessary::INIReadString(BSTR file_name, BSTR section, BSTR key, BSTR default_value,
                               BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  std::string file, sect, name, fallback;
  if (!Text(default_value, &fallback)) fallback.clear();
  if (!Text(file_name, &file) || !Text(section, &sect) || !Text(key, &name))
    return tessary::ReturnAnsi(fallback, value);
  // A count of size-1 may mean the value was cut: read again with ten
  // times the room, up to the last buffer, whose text is taken as it is.
  std::string text;
  for (DWORD size = kFirstStringBuffer;; size *= 10) {
    const DWORD length = ReadProfile(file, sect, name, fallback, size, &text);
    if (length != size - 1 || size >= kLastStringBuffer) break;
  }
  return tessary::ReturnAnsi(text, value);
}

HRESULT Tessary::INIReadInteger(BSTR file_name, BSTR section, BSTR key, LONG default_value,
                                LONG* value) {
  if (!value) return E_POINTER;
  LONG number = 0;
  *value = ReadNumber(file_name, section, key, default_value, kIntegerBuffer, &number)
               ? number
               : default_value;
  return S_OK;
}

HRESULT Tessary::INIReadBoolean(BSTR file_name, BSTR section, BSTR key, LONG default_value,
                                LONG* value) {
  if (!value) return E_POINTER;
  LONG number = 0;
  if (ReadNumber(file_name, section, key, default_value, kBooleanBuffer, &number)) {
    *value = number != 0 ? 1 : 0;
  } else {
    *value = default_value;
  }
  return S_OK;
}

HRESULT Tessary::ProfileWrite(BSTR file_name, BSTR section, const BSTR* key,
                              const std::string* value) {
  std::string file, sect, name;
  if (!Text(file_name, &file) || !Text(section, &sect) || (key && !Text(*key, &name)))
    return ReportWin32Error(ERROR_INVALID_PARAMETER);
  if (!WritePrivateProfileStringA(sect.c_str(), key ? name.c_str() : nullptr,
                                  value ? value->c_str() : nullptr, file.c_str()))
    return ReportLastWin32Error();
  return S_OK;
}

HRESULT Tessary::INIWriteString(BSTR file_name, BSTR section, BSTR key, BSTR value) {
  std::string text;
  if (!Text(value, &text)) return ReportWin32Error(ERROR_INVALID_PARAMETER);
  return ProfileWrite(file_name, section, &key, &text);
}

HRESULT Tessary::INIWriteInteger(BSTR file_name, BSTR section, BSTR key, LONG value) {
  const std::string text = NumberText(value);
  return ProfileWrite(file_name, section, &key, &text);
}

HRESULT Tessary::INIWriteBoolean(BSTR file_name, BSTR section, BSTR key, LONG value) {
  const std::string text = value != 0 ? "1" : "0";
  return ProfileWrite(file_name, section, &key, &text);
}

HRESULT Tessary::INIDeleteSection(BSTR file_name, BSTR section) {
  return ProfileWrite(file_name, section, nullptr, nullptr);
}

HRESULT Tessary::INIDeleteKey(BSTR file_name, BSTR section, BSTR key) {
  return ProfileWrite(file_name, section, &key, nullptr);
}
