// Running external programs with their own argument splitting, redirections and a time-out.
#pragma once
