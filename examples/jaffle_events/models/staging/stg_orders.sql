{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='ordered_at',
    batch_size='day',
    begin='2024-01-01',
    tags=['orders'],
) }}

select
    order_id,
    customer_id,
    cast(amount as decimal(12, 2)) as amount,
    upper(currency) as currency,
    cast(ordered_at as timestamp) as ordered_at
from {{ source('app', 'orders') }}
