// WebView2.h includes "EventToken.h"; mingw-w64 ships it as eventtoken.h, which
// a case-sensitive file system does not find under the other name.
#include <eventtoken.h>
