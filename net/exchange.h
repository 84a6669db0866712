// One-shot TCP and UDP exchanges with a host, and the syslog sender.
#pragma once
