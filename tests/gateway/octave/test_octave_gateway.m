function test_octave_gateway(buildDir, dataDir, cli)
%TEST_OCTAVE_GATEWAY The built module under Octave: state kept between calls,
%   reloads, errors and warnings, batches, clearing, and agreement with the
%   command line. BUILDDIR holds Calvenor.mex, DATADIR a host folder with
%   vornevResult/, CLI the command-line program.
    addpath(buildDir);
    previous = pwd();
    work = calvenor_test_folder(dataDir);
    cleanup = onCleanup(@() leave(previous, work));
    cd(work);
    clear('Calvenor');

    P = [1.4898781844154607 0.34396856507397067 0.021418765489097494 0.15604729871436027 ...
         1.2167715791959186 0.0 1.1327520105134743 0.2245178233637338 1.3285837871943693;
         1.5129422096372658 0.35137742864961496 0.03167571412137506 0.26024852226096834 ...
         2.0227219752967343 0.0 1.585575205977755 0.21154775039617343 1.8349071296607558;
         1.4561438643844544 0.3294055610276803 0.020043911307373864 0.16949764519399557 ...
         1.276214102572445 0.0 1.2355461360263416 0.22468358679511216 1.403344588095303];
    list = fullfile('vornevResult', 'evReadInList.txt');
    fullList = fullfile('vornevResult', 'evReadInListZong.txt');
    workingText = fileread(list);
    fullText = fileread(fullList);

    % --- the same results as the command line, call for call --------------
    for k = 1:3
        for switches = {[0 0 0], [1 0 0]}
            clear('Calvenor');
            [e, d] = Calvenor(P(k, :), switches{1});
            [ce, cd_] = calvenor_cli_eval(cli, work, P(k, :), switches{1});
            calvenor_check(isequal(size(e), [1 1]) && isequal(size(d), [1 11]), 'output shapes');
            calvenor_check(isequaln(e, ce), 'set %d: error value %.17g, command line %.17g', k, e, ce);
            calvenor_check(isequaln(d, cd_), 'set %d: diagnostics differ from the command line', k);
        end
    end

    % --- the store persists until a reload or until the module is cleared --
    clear('Calvenor');
    first = Calvenor(P(1, :), [0 0 0]);
    writeText(list, firstLines(workingText, 2));
    calvenor_check(Calvenor(P(1, :), [0 0 0]) == first, 'the loaded tests were not kept');
    clear('Calvenor');
    afterClear = Calvenor(P(1, :), [0 0 0]);
    calvenor_check(afterClear ~= first, 'clear Calvenor did not reset the store');
    calvenor_check(afterClear == calvenor_cli_eval(cli, work, P(1, :), [0 0 0]), ...
                   'after clearing: not the value of the shortened list');
    writeText(list, workingText);

    % Reload (switch 3 nonzero, or NaN) reads the full list.
    reloaded = Calvenor(P(1, :), [0 0 1]);
    calvenor_check(reloaded == calvenor_cli_eval(cli, work, P(1, :), [0 0 1]), 'reload: wrong value');
    calvenor_check(reloaded ~= first, 'reload: the full list should give another value');
    writeText(fullList, firstLines(fullText, 3));
    calvenor_check(Calvenor(P(1, :), [0 0 0]) == reloaded, 'without reload the full list was read');
    nanReload = Calvenor(P(1, :), [0 0 NaN]);
    calvenor_check(nanReload == calvenor_cli_eval(cli, work, P(1, :), [0 0 NaN]) && nanReload ~= reloaded, ...
                   'a NaN reload switch did not reload');
    writeText(fullList, fullText);

    % --- wrong input count ---------------------------------------------------
    expected = '输入参数个数必须为2个,第一个为本构参数向量，第二个为是否输出理论值开关';
    calls = {@() Calvenor(), @() Calvenor(P(1, :)), @() Calvenor(P(1, :), [0 0 0], 1)};
    for k = 1:numel(calls)
        err = raised(calls{k});
        calvenor_check(strcmp(err.identifier, 'MATLAB:InputTooBig'), 'wrong count: identifier %s', err.identifier);
        calvenor_check(endsWithText(err.message, expected), 'wrong count: message %s', err.message);
    end

    % --- bad inputs: rejected before anything is read or written ------------
    clear('Calvenor');
    report = fullfile('vornevResult', 'VORNevPicOutError.DAT');
    if exist(report, 'file')
        delete(report);
    end
    p = P(1, :);
    s = [0 1 0];
    cases = {
        {single(p), s, 'input 1 (parameters) must be a real, full, two-dimensional double array; got a single array'}
        {int32(p), s, 'got a int32 array'}
        {p + 1i, s, 'got a complex array'}
        {sparse(p), s, 'got a sparse array'}
        {num2cell(p), s, 'got a cell array'}
        {reshape([p p], [1 9 2]), s, 'got an array of 3 dimensions'}
        {p(1:8), s, 'input 1 (parameters) must be a vector of at least 9 values'}
        {zeros(3, 8), s, 'got a 3x8 array'}
        {[], s, 'got a 0x0 array'}
        {p, logical(s), 'input 2 (switches) must be a real, full, two-dimensional double array; got a logical array'}
        {p, 'abc', 'got a char array'}
        {p, [0 1], 'input 2 (switches) must be a vector of at least 3 values'}
        {p, zeros(2, 3), 'got a 2x3 array'}
    };
    for k = 1:numel(cases)
        c = cases{k};
        err = raised(@() Calvenor(c{1}, c{2}));
        calvenor_check(strcmp(err.identifier, 'Calvenor:badInput'), 'bad input %d: identifier %s', k, err.identifier);
        calvenor_check(~isempty(strfind(err.message, c{3})), 'bad input %d: message %s', k, err.message);
    end
    calvenor_check(~exist(report, 'file'), 'a rejected call wrote the reports');
    % The store is still unloaded: the first good call reads the working list.
    writeText(list, firstLines(workingText, 2));
    calvenor_check(Calvenor(p, [0 0 0]) == afterClear, 'a rejected call loaded the tests');
    writeText(list, workingText);

    % --- load failure, then recovery once the file is back -------------------
    data = fullfile('vornevResult', 'data', 'T3.txt');
    movefile(data, 'T3.aside');
    err = raised(@() Calvenor(p, [0 0 1]));
    calvenor_check(strcmp(err.identifier, 'Calvenor:loadFailed'), 'load failure: identifier %s', err.identifier);
    calvenor_check(~isempty(strfind(err.message, 'T3.txt')), 'load failure: message %s', err.message);
    err = raised(@() Calvenor(p, [0 0 0]));
    calvenor_check(strcmp(err.identifier, 'Calvenor:loadFailed'), 'the failed load was not retried');
    movefile('T3.aside', data);
    recovered = Calvenor(p, [0 0 0]);
    calvenor_check(recovered == reloaded, 'after the file came back: %.17g, expected %.17g', recovered, reloaded);

    % --- a report that cannot be written warns, the results still come -------
    mkdir(report);
    lastwarn('');
    [e, d] = Calvenor(p, [0 1 0]);
    [message, id] = lastwarn();
    calvenor_check(strcmp(id, 'Calvenor:reportFailed'), 'report failure: warning %s', id);
    calvenor_check(~isempty(strfind(message, 'VORNevPicOutError.DAT')), 'report failure: message %s', message);
    calvenor_check(e == reloaded && numel(d) == 11, 'report failure: outputs');
    rmdir(report);

    % --- a matrix of K rows is K consecutive calls ---------------------------
    for switches = {[1 0 0], [0 0 1]}
        clear('Calvenor');
        [E, D] = Calvenor(P, switches{1});
        calvenor_check(isequal(size(E), [3 1]) && isequal(size(D), [3 11]), 'batch shapes');
        clear('Calvenor');
        e = zeros(3, 1);
        d = zeros(3, 11);
        for k = 1:3
            [e(k), d(k, :)] = Calvenor(P(k, :), switches{1});
        end
        calvenor_check(isequaln(E, e) && isequaln(D, d), 'batch differs from row-by-row calls');
    end
    % A column is one set.
    calvenor_check(Calvenor(P(3, :).', [0 0 1]) == e(3), 'a column vector is not one set');

    fprintf('test_octave_gateway: all checks passed\n');
end

function err = raised(f)
    err = [];
    try
        f();
    catch caught
        err = caught;
    end
    calvenor_check(~isempty(err), 'the call raised no error');
end

function yes = endsWithText(text, tail)
    yes = numel(text) >= numel(tail) && strcmp(text(end - numel(tail) + 1:end), tail);
end

function text = firstLines(text, n)
    lines = regexp(text, '\r?\n', 'split');
    text = sprintf('%s\n', lines{1:n});
end

function writeText(file, text)
    fid = fopen(file, 'w');
    fwrite(fid, text);
    fclose(fid);
end

function leave(previous, work)
    cd(previous);
    clear('Calvenor');
    rmdir(work, 's');
end
