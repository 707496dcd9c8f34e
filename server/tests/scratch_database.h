// A fresh database of its own for one test, in the scratch PostgreSQL cluster the tests' fixture
// started (server/bench/scratch_postgres.py), dropped afterwards. Where the cluster's programs are
// missing, the fixture starts none and available() says why.
#pragma once

#include "catalogue/pq_connection.h"
#include "text/random_hex.h"

#include <fstream>
#include <memory>
#include <string>

class ScratchDatabase {
public:
    ScratchDatabase()
    {
        std::ifstream file(std::string(CUMULO_SCRATCH_POSTGRES_DIR) + "/conninfo");
        if (!std::getline(file, cluster_)) {
            problem_ = "no scratch PostgreSQL cluster (its programs are missing: scripts/setup installs postgresql-15)";
            return;
        }
        name_ = "test_" + cumulo::server::random_hex(8);
        admin_ = std::make_unique<cumulo::server::PqConnection>(cluster_);
        admin_->exec("CREATE DATABASE " + name_);
    }
    ~ScratchDatabase()
    {
        if (admin_)
            admin_->exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    }
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    // Empty when the database is there; else why not.
    const std::string& problem() const { return problem_; }
    // A libpq key=value location of the database (the later dbname wins).
    std::string location() const { return cluster_ + " dbname=" + name_; }
    // The same through another port (a relay in front of the cluster).
    std::string location_through(std::uint16_t port) const { return location() + " port=" + std::to_string(port); }
    std::uint16_t port() const
    {
        std::size_t at = cluster_.find("port=");
        return static_cast<std::uint16_t>(std::stoi(cluster_.substr(at + 5)));
    }

private:
    std::string cluster_;
    std::string name_;
    std::string problem_;
    std::unique_ptr<cumulo::server::PqConnection> admin_;
};

#define SKIP_WITHOUT_POSTGRES(database)                  \
    if (!(database).problem().empty())                   \
    GTEST_SKIP() << (database).problem()
