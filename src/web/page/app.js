// The page: filled in by the page itself.
"use strict";
