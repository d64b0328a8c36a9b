// definition: what defines an index, read from the command line its header
// stores, with kelindex's own parser (core/definition_parse.h), each time
// the header is read: the key, the record format's options, the duplicate
// rules and the primary-record selection, simple tests or an extended
// expression. A definition the header disagrees with, or a line no build
// takes, cannot be used: the index is then read by its header alone and
// cannot be changed.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/definition_parse.h"
#include "kelisi/kelisi_internal.h"

namespace kisi {

namespace {

// The header's key specifications, tests or flags are not those of the line.
constexpr Status kErrDefinitionDiffers = -1000;

// Why a stored line cannot be used, as one phrase.
void SetWhy(kelisi* ix, Status st) {
  const char* text = ParseErrorText(st);
  switch (st) {
    case kUsageShown:
      text = "it asks for the usage text";
      break;
    case kErrStoredLine:
      text = "it is not a command that builds an index";
      break;
    case kErrDefinitionDiffers:
      text = "the header was not built from it";
      break;
    default:
      if (text == nullptr) text = "kelindex does not take it";
  }
  // kelindex's sentence, made a phrase: its advice to look at the usage text
  // is no help here.
  std::string s = text;
  size_t advice = s.find("  Use -? option");
  if (advice != std::string::npos) s.erase(advice);
  while (!s.empty() && (s.back() == '.' || s.back() == ' ' || s.back() == '!')) s.pop_back();
  if (s.size() > 1 && s[0] >= 'A' && s[0] <= 'Z' && (s[1] < 'A' || s[1] > 'Z')) {
    s[0] = static_cast<char>(s[0] - 'A' + 'a');
  }
  snprintf(ix->defWhy, sizeof ix->defWhy, "%s", s.c_str());
}

// The header keeps what the build took from the definition: the key
// specifications, the tests, and the flags of the options.
bool HeaderAgrees(const kelisi* ix, const IndexDefinition& d) {
  const auto* raw = reinterpret_cast<const IsiHeader*>(ix->front);
  uint8_t fmt = raw->formatFlags;
  return d.keySpecLen == raw->keyLength &&
         memcmp(d.keySpecTable, raw->keySpecs, sizeof d.keySpecTable) == 0 &&
         memcmp(d.primarySelTable, raw->primaryTests, sizeof d.primarySelTable) == 0 &&
         (d.upperCaseKeys != 0) == ((fmt & kFmtUpper) != 0) &&
         (d.noDups != 0) == ((fmt & kFmtNoDups) != 0) &&
         (d.allowSpaceComp != 0) == ((fmt & kFmtSpaceComp) != 0) &&
         (d.allowVarLen != 0) == ((fmt & kFmtVarLen) != 0) &&
         (d.binaryData && !d.binaryWithEor) == ((fmt & kFmtBinary) != 0) &&
         (d.recNumMode != 0) == ((raw->modeFlags & kModeRecNum) != 0);
}

// The simple tests of the definition, in the header's order: its tests
// less the entry that stands for an extended expression (the first of its
// decision column, where the expression, always the first p option, put it).
void SimpleTests(const IndexDefinition& d, kelisi_header* h) {
  uint32_t decision = 0;  // 1-based; 0: no expression
  for (int i = 0; i < kMaxSelTerms && d.selTerms[i].kind != kTermEnd && d.selTerms[i].kind != 0;
       ++i) {
    if (d.selTerms[i].column + 1 > decision) decision = d.selTerms[i].column + 1;
  }
  h->test_count = 0;
  for (int i = 0; i < d.primarySelCount && i < kMaxPrimaryTests; ++i) {
    const PrimarySelEntry& e = d.primarySelTable[i];
    if (e.column == decision) {
      decision = 0;
      continue;
    }
    kelisi_test& t = h->tests[h->test_count++];
    t.column = e.column;
    t.op = (e.ops & kSelOpEqual) ? '=' : '#';
    t.ch = e.matchChar;
  }
  h->extended_selection = SelectsByExpression(d);
}

}  // namespace

void ReadDefinition(kelisi* ix) {
  ix->def = IndexDefinition{};
  DefinitionDefaults(&ix->def);
  snprintf(ix->defText, sizeof ix->defText, "%s", ix->hdr.command_line);
  Status st = kErrNoKeyInfo;
  if (ix->defText[0] != '\0') st = ParseDefinition(&ix->def, ix->defText);
  if (st == kOk && !HeaderAgrees(ix, ix->def)) st = kErrDefinitionDiffers;
  ix->defStatus = st == kOk ? KELISI_OK : KELISI_E_DEFINITION;
  ix->defWhy[0] = '\0';
  if (st == kErrNoKeyInfo) {
    snprintf(ix->defWhy, sizeof ix->defWhy, "the index keeps no command line");
  } else if (st != kOk) {
    SetWhy(ix, st);
  }
  if (st != kOk) {
    ix->keyLayoutOk = KeyLayoutFromHeader(ix->hdr, &ix->keyLayout);
    return;
  }
  KeyLayoutOfColumns(ix->def.colTable, ix->def.keySpecLen, &ix->keyLayout);
  ix->keyLayoutOk = IsiKeyLengthValid(ix->def.keySpecLen);
  SimpleTests(ix->def, &ix->hdr);
}

}  // namespace kisi
