#!/usr/bin/env python3
"""Compares the layout of a database, as information_schema reports it, with
tests/data/schema/expected_layout.txt (the form the schema tests use).

    layout.py EXPECTED_FILE DATABASE -- MARIADB_CLIENT_COMMAND...
"""
import subprocess
import sys


def query(client, db, statement):
    out = subprocess.run(client + ["-N", "-B", "-e", statement, db], check=True,
                         capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines()]


def dump(client, db):
    where = f" where table_schema='{db}'"
    lines, indexes = {}, {}
    for name, kind, engine, collation in query(
            client, db, "select table_name, table_type, engine, table_collation "
            "from information_schema.tables" + where):
        view = kind == "VIEW"
        block = lines.setdefault(name, [])
        block.append(("view " if view else "table ") + name)
        if not view:
            block += ["engine " + engine, "charset " + collation]
    for table, column, ctype, charset, nullable in query(
            client, db, "select table_name, column_name, column_type, character_set_name, is_nullable "
            "from information_schema.columns" + where + " order by table_name, ordinal_position"):
        lines[table].append(f"column {column} {ctype} {'-' if charset == 'NULL' else charset} "
                            f"{'null' if nullable == 'YES' else 'notnull'}")
    for table, index, column, part in query(
            client, db, "select table_name, index_name, column_name, sub_part "
            "from information_schema.statistics" + where + " order by seq_in_index"):
        indexes.setdefault(table, {}).setdefault(index, []).append(
            column + ("" if part == "NULL" else f"({part})"))
    layout = {}
    for table, block in lines.items():
        for index in sorted(indexes.get(table, {})):
            joined = ",".join(indexes[table][index])
            if index == "PRIMARY":
                columns = sum(1 for line in block if line.startswith("column "))
                block.insert(3 + columns, "primary " + joined)
            else:
                block.append(f"key {index} {joined}")
        layout[table.lower()] = "".join(line + "\n" for line in block).lower()
    return layout


def parse(text):
    layout, name, block = {}, "", ""
    for line in text.split("\n") + [""]:
        if line.startswith("#"):
            continue
        if not line:
            if name:
                layout[name] = block.lower()
            name, block = "", ""
            continue
        if not name:
            name = line[line.find(" ") + 1:].lower()
        block += line + "\n"
    return layout


def main():
    expected_file, db = sys.argv[1], sys.argv[2]
    client = sys.argv[sys.argv.index("--") + 1:]
    expected = parse(open(expected_file, encoding="utf-8").read())
    actual = dump(client, db)
    problems = [f"missing: {name}" for name in expected if name not in actual]
    problems += [f"unexpected table or view: {name}" for name in actual if name not in expected]
    for name in expected:
        if name in actual and actual[name] != expected[name]:
            problems.append(f"layout of {name} differs:\n--- expected\n{expected[name]}--- actual\n{actual[name]}")
    if problems:
        print("\n".join(problems))
        return 1
    print(f"layout matches: {len(actual)} tables and views")
    return 0


if __name__ == "__main__":
    sys.exit(main())
