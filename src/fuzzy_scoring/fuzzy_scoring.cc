#include "fuzzy_scoring/fuzzy_scoring.h"
