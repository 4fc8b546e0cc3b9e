#include "content_replacer/levenshtein.h"
