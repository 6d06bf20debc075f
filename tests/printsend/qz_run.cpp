#include "tests/printsend/qz_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dataqz.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()))
        dir_ = buf.data();
}

TempDir::~TempDir()
{
    if (dir_.empty())
        return;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink(path(e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir_.c_str());
}

std::string TempDir::write(const std::string& name, const std::string& data) const
{
    std::ofstream(path(name), std::ios::binary) << data;
    return path(name);
}

std::string QzChild::program()
{
    const char* bin = getenv("LQ_BIN_DIR");
    return bin && *bin ? std::string(bin) + "/data_qz" : std::string(QZ_PROGRAM);
}

QzChild::QzChild(const std::vector<std::string>& args, const std::vector<std::string>& env,
                 const std::string& stdin_path, const std::string& stdin_data, int hold_ms)
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dataqz-err.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back(0);
    int errfd = mkstemp(name.data());
    err_path_ = name.data();

    std::vector<std::string> argv_s = {program()};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    for (char** e = environ; *e; e++) {
        std::string kv = *e;
        bool replaced = false;
        for (auto& x : env)
            replaced |= kv.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        if (!replaced)
            env_s.push_back(kv);
    }
    env_s.insert(env_s.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int feed[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdin_path.empty()) {
        if (pipe2(feed, O_CLOEXEC) == 0)
            posix_spawn_file_actions_adddup2(&fa, feed[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, stdin_path.c_str(), O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&fa, errfd, 2);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(errfd);
    if (feed[0] >= 0) {
        close(feed[0]);
        size_t done = 0;
        while (done < stdin_data.size()) {
            ssize_t w = ::write(feed[1], stdin_data.data() + done, stdin_data.size() - done);
            if (w <= 0)
                break;
            done += (size_t)w;
        }
        usleep((useconds_t)hold_ms * 1000);
        close(feed[1]);
    }
}

QzChild::~QzChild()
{
    if (pid_ > 0 && !done_)
        kill_and_wait();
    unlink(err_path_.c_str());
}

bool QzChild::exited()
{
    if (pid_ <= 0 || done_)
        return true;
    if (waitpid(pid_, &wstatus_, WNOHANG) == pid_)
        done_ = true;
    return done_;
}

QzRun QzChild::collect()
{
    QzRun r;
    if (pid_ > 0 && WIFEXITED(wstatus_))
        r.status = WEXITSTATUS(wstatus_);
    std::ifstream f(err_path_, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    r.err = s.str();
    return r;
}

QzRun QzChild::wait(int limit_ms)
{
    for (int t = 0; !exited() && t < limit_ms; t += 5)
        usleep(5000);
    if (!exited())
        return kill_and_wait();
    return collect();
}

QzRun QzChild::kill_and_wait()
{
    if (pid_ > 0 && !done_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &wstatus_, 0);
        done_ = true;
    }
    return collect();
}

QzRun RunQz(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& stdin_path)
{
    QzChild c(args, env, stdin_path);
    return c.wait();
}
