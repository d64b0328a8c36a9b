// The fixed texts of the parser's codes (status.h).
#include "core/status.h"

const char* ParseErrorText(Status code) {
  switch (code) {
    case -104:
      return "The command line is incomplete.  Use -? option.";
    case -107:
      return "One of the filenames is too long.";
    case -108:
      return "Invalid record length specification.";
    case -110:
      return "One of the temporary files could not be opened.";
    case -111:
      return "A key specification is too large.";
    case -112:
      return "Invalid key specification syntax.";
    case -113:
      return "Overlapping keys are not allowed.";
    case -114:
      return "Too many key bytes have been selected in each record.";
    case -115:
      return "Cannot use more than 32 key specifications!";
    case -118:
      return "Invalid primary key information.";
    case -124:
      return "Conflicting utility options specified. (f, s, & v).";
    case -126:
      return "The Output file name can not be same as Input name.";
    case -127:
      return "Record size not valid for file length found.";
    case -128:
      return "Conflicting key options.";
    case -129:
      return "Invalid Max sector fill percent specification";
    case -133:
      return "Options '-f or -g' require record length specification.";
    case -135:
      return "Cannot use more than 10 'P' option parameters!";
    case -136:
      return "Uppercase option must be given prior to key specifications.";
    case -137:
      return "Conflicting record length specifications.";
    case -138:
      return "File too large to use space compression or variable length records.";
    case -159:
      return "Invalid 'O' option value!";
    case -161:
      return "A record longer than 65533 bytes was found.";
    case -171:
      return "Invalid compact option!";
    default:
      return nullptr;
  }
}
