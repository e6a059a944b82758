"""Search a folder of documents for a list of names on a Dask cluster, one task per document.

    python examples/dask_search.py DOCUMENTS_DIR NAMES_FILE [--scheduler ADDRESS]

NAMES_FILE holds one name a line. Without --scheduler, a cluster of worker processes is started
on this machine; with it, the search runs on that cluster, whose workers need veskal installed.
The documents are read by the workers, so the folder must be reachable from them.

The Matcher is built once here and sent to every worker: it pickles as its constructor
arguments and compiles again where it lands, so nothing is compiled per document.
"""

import argparse
import pathlib

import veskal


def search_document(matcher, path):
    """The matches of one document: (pattern_index, start, end, score) tuples."""
    return matcher.find(pathlib.Path(path).read_text(encoding="utf-8"))


def search_folder(client, matcher, folder, pattern="*.txt"):
    """{path: matches} for every document of `folder`, searched on the cluster of `client`."""
    paths = sorted(str(p) for p in pathlib.Path(folder).glob(pattern))
    # Sent once to every worker rather than once per task.
    shipped = client.scatter(matcher, broadcast=True)
    futures = client.map(search_document, [shipped] * len(paths), paths)
    return dict(zip(paths, client.gather(futures)))


def main():
    from distributed import Client, LocalCluster

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("names")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    args = parser.parse_args()

    names = [line.strip() for line in open(args.names, encoding="utf-8") if line.strip()]
    # Names as they come out of OCR: any case, accents or not, one character wrong.
    matcher = veskal.Matcher(
        names,
        case_insensitive=True,
        special_char_insensitive=True,
        metric="levenshtein",
        threshold=1,
        strategies=["best_match", "longest"],
    )
    cluster = None if args.scheduler else LocalCluster(processes=True, dashboard_address=None)
    with Client(args.scheduler or cluster) as client:
        results = search_folder(client, matcher, args.folder)
    if cluster is not None:
        cluster.close()
    for path, matches in results.items():
        for index, start, end, score in matches:
            print(f"{path}\t{names[index]}\t{start}\t{end}\t{score:g}")


if __name__ == "__main__":
    main()
