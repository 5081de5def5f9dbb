#pragma once

#include "InstanceRegistry.h"

#include <optional>
#include <string>
#include <vector>

// "pgulo instance add|list|show|set".
class InstanceCommand {
public:
    struct AddOptions {
        InstanceSettings settings;
        bool passwordStdin = false;
        // TOKEN:VALUE lines for the agent configuration file of the instance's port.
        std::vector<std::string> agentOptions;
    };
    static void Add(AddOptions options);
    // "instance set NAME --compress X --encrypt|--no-encrypt": the instance's backup defaults.
    struct CodecOptions {
        std::string name;
        std::string compression; // empty: unchanged
        std::optional<bool> encrypt;
    };
    static void SetCodec(const CodecOptions& options);
    // "instance set NAME --repo URL": where its backups go when a verb is given no --repo
    // ("" goes back to $PGULO_HOME/repo).
    static void SetRepository(const std::string& name, const std::string& repository);
    // The repository a verb for the instance uses: the one given, else the instance's own,
    // else "" ($PGULO_HOME/repo).
    static std::string RepositoryFor(const std::string& name, const std::string& given);
    static void List(bool json);
    static void Show(const std::string& name, bool json);
    // Changes the rules the policy names (0 drops a rule) and keeps the others.
    static void SetRetention(const std::string& name, const RetentionPolicy& change);
    // Sets TOKEN:VALUE switches in the agent configuration file "postgres_<port>", replacing
    // an earlier value of the same token (the agent takes a token's first line).
    static void SetAgentOptions(const std::string& port, const std::vector<std::string>& options);
};
