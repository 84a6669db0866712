// Directory search: matching the entries of one folder against a name pattern and attribute bits.
#include "foundation/dirsearch.h"
