#include "streaming_matcher/streaming_matcher.h"
