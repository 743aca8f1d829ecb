#ifndef WEBAPPRUN_H
#define WEBAPPRUN_H

class SimHostOptions;

// The headless web-app run: with the plug-ins loaded and serving the web-app directory, it
// rewrites one source file after half a second, so that the template plug-in sees a real
// change, and lets everything run for the chosen time. The plug-ins' debug output goes to
// standard output.
class WebAppRun
{
public:
    explicit WebAppRun(const SimHostOptions &options) : options(options) {}

    // The process exit status: 1 when the file cannot be rewritten, else 0.
    int run();

private:
    const SimHostOptions &options;
};

#endif // WEBAPPRUN_H
